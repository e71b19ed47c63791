// The storage server program.
#include "tgt/tgt_service.h"

int main(int argc, char **argv)
{
    return tgt_Main(argc, argv);
}
