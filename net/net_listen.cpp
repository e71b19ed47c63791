#include "net/net_root.h"

void net_StartListenerHook(Net *pNet)
{
    (void)pNet;
}

void net_StopListenerHook(Net *pNet)
{
    (void)pNet;
}
