// Sending on a connection: the step between a message handed to a connection and the path that
// writes it.
//
// The send runs as the message's own micro-task, so a send that must wait (for the connection to
// connect, for privileged mode to end, for a free path) suspends without holding a thread. It
// stamps the channel number, decides how many paths it may try (the connected paths, at most 3),
// queues the message until a path takes it, hands it to the path's send step and retries on
// another path when one fails. Which path sends is decided by the paths themselves
// (NET_MSG_SCHED_METHOD__SOCKET_RACE): every connected path's send loop races for the next queued
// message, and a path that finishes a send takes the next one itself, up to maxPrioritySends in a
// row. Responses overtake everything through their own queue. When both queues are empty a sender
// does what the first waiting loop would do on its signal: it takes that loop out of its wait and
// writes on its path from its own thread, and gives the loop back to its wait afterwards.
//
// The task's end runs netCon_SendDone with the send's result; the connection reference taken at
// hand-over is released there.
//
// Locking: the queues and the path choice are under the connection's lock; in-flight counts are
// atomic; the message's flags are under the message's lock, which is taken before a connection's
// lock, never while holding it.
#pragma once

#include "net/net_con.h"
#include "net/net_msg.h"

// Takes a connection reference and starts the message's send task at once. FALSE (and the
// message's result MOS_RC__ERROR) when hCon names no connection.
BOOL netCon_SendMsg(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bHead, BOOL bPrivilegedSend);
Mos_RC netCon_Send_CK(MosMit *pMit, Mos_RC rc);
// Entered with the connection locked, leaves it unlocked; the task's area names the path chosen.
Mos_RC netCon_ChooseSendPathAndUnlock_CK(MosMit *pMit, Mos_RC rc);
// The least loaded connected path, with a reference, or null (connection locked).
NetPath *netCon_LinearChoosePath(NetCon *pCon);
// Takes a message whose request timed out out of whatever its send task waits in (a connect,
// privileged mode, the queue), so that the task ends now. Message lock held by the caller.
void netCon_AbortWaitingSend(NetCon *pCon, NetRpcMsg *pMsg);
// Run when a message's send task ends, with the send's result (the requests' own: it completes
// the message as a request, a response or a notification).
void netCon_SendDone(NetRpcMsg *pMsg, Mos_RC sendRc);
