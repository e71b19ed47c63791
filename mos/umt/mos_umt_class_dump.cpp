// The registry's dump of a class lists its uthreads, whose records belong to the uthread module:
// it sits here, above both, so that the classes need not know the uthread record.
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_class.h"

void mosUmtClass_DumpObj(MosObj *pObj, UINT32 backdoorOp, UINT32 argCount, PSdbgConfStr argVec)
{
    MOS_UNUSED(backdoorOp);
    MOS_UNUSED(argCount);
    MOS_UNUSED(argVec);
    MosUmtClass *pClass = MOS_CONTAINER_OF(pObj, MosUmtClass, obj);
    MosFastlockGuard guard(&pClass->lock);
    MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "Class %s: %u UMTs, %u created", pClass->attr.name,
              pClass->umtList.counter, pClass->creationCounter);
    for (MosDList_Node *pNode = mosDList_First(&pClass->umtList); pNode != nullptr; pNode = mosDList_Next(pNode)) {
        MosUmt *pUmt = MOS_CONTAINER_OF(pNode, MosUmt, classRefNode.node);
        MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "  UMT %p #%u state %u debug info %llx", (void *)pUmt,
                  pUmt->idInClass, (unsigned)pUmt->state, (unsigned long long)pUmt->debugInfo);
    }
}
