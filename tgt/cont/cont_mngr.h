// One object manager for every kind of configured object (devices, volumes, volume trees, combs,
// heads, flash-cache devices, the example kind): a fast lock and a list of the kind's objects.
// The registry (cont_obj.h) finds an object by id; the manager's list is what the reconfiguration
// sweep and the all-object queries walk.
//
// Sweep: mark every object; each object the Ostrel still lists has its mark cleared by its add;
// then contMngr_GetFirstMarkedNode is called and the returned object removed until it returns
// null. Each call rotates the list by at most one round, so the sweep needs no iterator that
// survives a removal, and every object is looked at once per call.
//
// T is a plain struct with a `listNode` (MosDList_Node) and a `bMark` (BOOL). The manager's fast
// lock guards only the list and the marks; an object's own fields have their own lock.
#pragma once

#include <cstddef>

#include "mos/mos_assert.h"
#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "tgt/tgt_contention.h"

template <class T> struct ContMngr {
    MosFastlock_Base fastlock;
    MosDList_Anchor anchor; // the objects, oldest add first (until a sweep rotates them)
};

template <class T> T *contMngr_ObjOfNode(MosDList_Node *pNode)
{
    return MOS_CONTAINER_OF(pNode, T, listNode);
}

template <class T> void contMngr_Init(ContMngr<T> *pMngr)
{
    mosDList_InitAnchor(&pMngr->anchor);
    MOS_FASTLOCK_CREATE(&pMngr->fastlock, TGT_CONTENTION__CONT_MNGR);
}

// Every object must have been destroyed.
template <class T> void contMngr_Destroy(ContMngr<T> *pMngr)
{
    MOS_ASSERT(MOS_DLIST__IS_EMPTY(&pMngr->anchor));
    mosFastlockBase_Destroy(&pMngr->fastlock);
}

template <class T> void contMngr_Append(ContMngr<T> *pMngr, T *pObj)
{
    MosFastlockGuard g(&pMngr->fastlock);
    MOS_ASSERT(!mosDList_IsLinked(&pObj->listNode));
    mosDList_InsertTail(&pMngr->anchor, &pObj->listNode);
}

template <class T> void contMngr_Unlink(ContMngr<T> *pMngr, T *pObj)
{
    MosFastlockGuard g(&pMngr->fastlock);
    MOS_ASSERT(mosDList_IsLinked(&pObj->listNode));
    MOS_ASSERT(!MOS_DLIST__IS_EMPTY(&pMngr->anchor));
    mosDList_Remove(&pMngr->anchor, &pObj->listNode);
}

template <class T> UINT32 contMngr_Count(ContMngr<T> *pMngr)
{
    MosFastlockGuard g(&pMngr->fastlock);
    return pMngr->anchor.counter;
}

template <class T> void contMngr_MarkAll(ContMngr<T> *pMngr)
{
    MosFastlockGuard g(&pMngr->fastlock);
    for (MosDList_Node *p = mosDList_First(&pMngr->anchor); p != nullptr; p = mosDList_Next(p))
        contMngr_ObjOfNode<T>(p)->bMark = TRUE;
}

// Moves the first object to the end until a marked one has moved (returned) or the object that
// was last at the call has moved (null): at most one round, and a list without marked objects
// ends in its original order.
template <class T> T *contMngr_GetFirstMarkedNode(ContMngr<T> *pMngr)
{
    MosFastlockGuard g(&pMngr->fastlock);
    MosDList_Node *pLast = pMngr->anchor.pLast;
    if (MOS_DLIST__IS_EMPTY(&pMngr->anchor))
        return nullptr;
    for (;;) {
        MosDList_Node *pNode = mosDList_RemoveHead(&pMngr->anchor);
        mosDList_InsertTail(&pMngr->anchor, pNode);
        T *pObj = contMngr_ObjOfNode<T>(pNode);
        if (pObj->bMark)
            return pObj;
        if (pNode == pLast)
            return nullptr;
    }
}

// fn(T *) on every object in list order, with the manager's lock held: fn must not block.
template <class T, class F> void contMngr_ForEach(ContMngr<T> *pMngr, F fn)
{
    MosFastlockGuard g(&pMngr->fastlock);
    for (MosDList_Node *p = mosDList_First(&pMngr->anchor); p != nullptr; p = mosDList_Next(p))
        fn(contMngr_ObjOfNode<T>(p));
}
