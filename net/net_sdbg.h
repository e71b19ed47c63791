// The messaging layer's debug object types. They are registered once per process, before any
// messaging object exists, so that every path, connection, manager, receive group, work group and
// poll loop can be read by the debug object server for its whole life; an object built before
// them is simply not registered. A second registration is a broken start-up sequence and stops the process.
#pragma once

#include "mos/mos_obj.h"

struct NetSdbg {
    MosObj_Type pathType;
    MosObj_Type pathMgrType;
    MosObj_Type conType;
    MosObj_Type conMngType;
    MosObj_Type recvGrpType;
    MosObj_Type workGrpType;
    MosObj_Type pollType;
};

void netSdbg_Register(void);
// Unregisters the types (their objects must be gone); nothing when they are not registered.
void netSdbg_Unregister(void);
