// Intrusive doubly linked lists. The node lives in the owner's record; an unlinked node has
// null links, and on a list the ends hold the all-ones marker so that "linked" can be told
// from "unlinked" without walking the list.
#pragma once

#include "mos/mos_assert.h"
#include "mos/mos_types.h"

struct MosDList_Node {
    MosDList_Node *pNext;
    MosDList_Node *pPrev;
};

struct MosDList_Anchor {
    MosDList_Node *pFirst;
    MosDList_Node *pLast;
    UINT32 counter;
};

#define MOS_DLIST__UNLINKED_NODE ((MosDList_Node *)nullptr)
#define MOS_DLIST__FIRST_NODE ((MosDList_Node *)~(uintptr_t)0)
#define MOS_DLIST__LAST_NODE ((MosDList_Node *)~(uintptr_t)0)

#define MOS_DLIST__IS_EMPTY(pAnchor) ((pAnchor)->counter == 0)

static inline void mosDList_InitAnchor(MosDList_Anchor *pAnchor)
{
    pAnchor->pFirst = nullptr;
    pAnchor->pLast = nullptr;
    pAnchor->counter = 0;
}

static inline void mosDList_InitNode(MosDList_Node *pNode)
{
    pNode->pNext = MOS_DLIST__UNLINKED_NODE;
    pNode->pPrev = MOS_DLIST__UNLINKED_NODE;
}

static inline BOOL mosDList_IsLinked(const MosDList_Node *pNode)
{
    return pNode->pNext != MOS_DLIST__UNLINKED_NODE;
}

static inline void mosDList_InsertTail(MosDList_Anchor *pAnchor, MosDList_Node *pNode)
{
    MOS_ASSERT_WITH_DESC(!mosDList_IsLinked(pNode), "linking a node that is already on a list");
    pNode->pNext = MOS_DLIST__LAST_NODE;
    if (pAnchor->counter == 0) {
        pNode->pPrev = MOS_DLIST__FIRST_NODE;
        pAnchor->pFirst = pNode;
    } else {
        pNode->pPrev = pAnchor->pLast;
        pAnchor->pLast->pNext = pNode;
    }
    pAnchor->pLast = pNode;
    pAnchor->counter++;
}

static inline void mosDList_InsertHead(MosDList_Anchor *pAnchor, MosDList_Node *pNode)
{
    MOS_ASSERT_WITH_DESC(!mosDList_IsLinked(pNode), "linking a node that is already on a list");
    pNode->pPrev = MOS_DLIST__FIRST_NODE;
    if (pAnchor->counter == 0) {
        pNode->pNext = MOS_DLIST__LAST_NODE;
        pAnchor->pLast = pNode;
    } else {
        pNode->pNext = pAnchor->pFirst;
        pAnchor->pFirst->pPrev = pNode;
    }
    pAnchor->pFirst = pNode;
    pAnchor->counter++;
}

// Inserts pNode right after pAfter, which must be on the list.
static inline void mosDList_InsertAfter(MosDList_Anchor *pAnchor, MosDList_Node *pAfter, MosDList_Node *pNode)
{
    if (pAfter->pNext == MOS_DLIST__LAST_NODE) {
        mosDList_InsertTail(pAnchor, pNode);
        return;
    }
    MOS_ASSERT_WITH_DESC(!mosDList_IsLinked(pNode), "linking a node that is already on a list");
    pNode->pNext = pAfter->pNext;
    pNode->pPrev = pAfter;
    pAfter->pNext->pPrev = pNode;
    pAfter->pNext = pNode;
    pAnchor->counter++;
}

static inline void mosDList_Remove(MosDList_Anchor *pAnchor, MosDList_Node *pNode)
{
    MOS_ASSERT_WITH_DESC(mosDList_IsLinked(pNode) && pAnchor->counter != 0, "removing a node that is not on a list");
    if (pNode->pPrev == MOS_DLIST__FIRST_NODE)
        pAnchor->pFirst = (pNode->pNext == MOS_DLIST__LAST_NODE) ? nullptr : pNode->pNext;
    else
        pNode->pPrev->pNext = pNode->pNext;
    if (pNode->pNext == MOS_DLIST__LAST_NODE)
        pAnchor->pLast = (pNode->pPrev == MOS_DLIST__FIRST_NODE) ? nullptr : pNode->pPrev;
    else
        pNode->pNext->pPrev = pNode->pPrev;
    pAnchor->counter--;
    mosDList_InitNode(pNode);
}

static inline MosDList_Node *mosDList_RemoveHead(MosDList_Anchor *pAnchor)
{
    MosDList_Node *pNode = pAnchor->pFirst;
    if (pNode != nullptr)
        mosDList_Remove(pAnchor, pNode);
    return pNode;
}

static inline MosDList_Node *mosDList_First(const MosDList_Anchor *pAnchor)
{
    return pAnchor->pFirst;
}

static inline MosDList_Node *mosDList_Next(const MosDList_Node *pNode)
{
    return pNode->pNext == MOS_DLIST__LAST_NODE ? nullptr : pNode->pNext;
}

static inline MosDList_Node *mosDList_Prev(const MosDList_Node *pNode)
{
    return pNode->pPrev == MOS_DLIST__FIRST_NODE ? nullptr : pNode->pPrev;
}

// Completion record that waits in a runtime queue: first member of every queued request.
struct MosAsyncObj;
typedef void (*MosAsyncObj_CK)(MosAsyncObj *pObj, INT32 rc);
struct MosAsyncObj {
    MosDList_Node node;
    MosAsyncObj_CK pCK;
};

// Queue of waiting requests (MosAsyncObj nodes) of a runtime container.
typedef MosDList_Anchor MosAsyncObj_Anchor;
