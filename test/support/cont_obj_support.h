// Registering a test's object in a controller registry the way an add command does.
#pragma once

#include <gtest/gtest.h>

#include "test/support/umt_test_support.h"
#include "tgt/cont/cont_obj.h"

// Adds the object under id and kind, from AddStart to AddDone, on a uthread.
template <class T> void contTest_Register(ContObj *pObjs, UINT64 id, ContObjType type, T *pObj)
{
    umtTest_RunAsUmt([&] {
        Mos_RC rc;
        EXPECT_EQ(contObj_AddStart(pObjs, id, type, &rc), nullptr);
        contObj_AddSyncDone(pObjs, &pObj->accessLock, id, type, pObj, &pObj->hashRecord);
        contObj_AddDone(pObjs, &pObj->accessLock, id, type);
    });
}
