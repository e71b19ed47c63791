// The storage server's debug-query object types. They are registered once at start-up, before
// any object of the server is built; objects then register under them, and a constructor that
// finds the record unpublished stops the process (an object that cannot be queried would hide
// its state from the operator for its whole life).
#pragma once

#include "mos/mos_obj.h"

struct TgtSdbg {
    MosObj_Type fileType;   // device files
    MosObj_Type netBufType; // data-path buffer pools
    MosObj_Type stmpType;   // temporary-buffer budget
    MosObj_Type zmpType;    // zero-buffer pools
    MosObj_Type rcacheType; // the RAM read cache
    MosObj_Type perfParamsType; // performance parameters
    MosObj_Type kaliveType;     // keep-alive with the Ostrel
    MosObj_Type ostrelType;     // the link to the Ostrel
    MosObj_Type peerType;       // peer servers
    MosObj_Type conMonitorType; // connectivity monitor
    MosObj_Type iohType;        // the I/O handler
    MosObj_Type flcacheType;    // the flash read-cache driver control
    MosObj_Type flcacheDevType; // flash-cache devices
    MosObj_Type devType;        // device objects
    MosObj_Type combType;       // combs
};

// Null until tgtSdbg_Register has registered every type.
extern TgtSdbg *pTgtSdbg_g;

// Both live in their own unit (tgt_sdbg_register.cpp), which alone includes the modules whose
// query callbacks it registers.
// Registers the types in the order of their table and publishes the record.
void tgtSdbg_Register(void);
// Withdraws the record and unregisters the types (objects must be gone).
void tgtSdbg_Unregister(void);
