// Secure-transport upgrade of a path: TLS over a messaging socket.
//
// A client path asks for the upgrade right after its TCP connect, before its NEW_CON: it sends a
// NEW_SSL_CON head in the clear, the server answers with a RESPONSE head (65 to go on, 432 when
// it refuses), both run the TLS handshake, and from then on every byte of the path, its NEW_CON
// included, passes through the session. The server decides by the first head it reads: a plain
// NEW_CON is accepted or refused by its mode and policy, a NEW_SSL_CON is upgraded or answered
// with 432, and after any refusal the server waits 100 ms before it lets the socket go.
//
// The TLS engine works on memory buffers only (mos_ssl.h); these steps move its ciphertext through
// the socket's raw operations, so secure traffic uses the same non-blocking, exclusive,
// event-driven transfers as plain traffic. Ciphertext goes out as one buffer appended to the
// task's own list (no copy of the plaintext list) and comes in through the socket's 4096-byte read
// buffer.
//
// Results: I/O failures during TLS transfers are MOS_RC__NOT_CONN, engine failures
// MOS_RC__ERROR; a refused client ends with the server's code (432). Every failure of an upgrade
// leaves the socket for its caller to disconnect.
//
// Concurrency: whole secure sends of one socket are serialised by its secure send list
// (important tasks ahead of the others), and their ciphertext goes out through the socket's raw
// send list; only the path's receive loop receives.
#pragma once

#include "mos/mit/mos_mit_core.h"
#include "net/net_con.h"
#include "net/net_socket.h"
#include "net/security/net_sec_conf.h"
#include "net/security/net_sec_socket.h"

struct Net;

// Task steps (MOS_MIT_CALL them) on the socket, list and head of the task's area. The three a path
// runs itself (connect, accept, disconnect) are declared with the path's internals.
// Client, after the TCP connect (netSec_Connect_CK): nothing for an unsecured connection, the
// upgrade for SECURE_SSL.
Mos_RC netSec_SslConnect_CK(MosMit *pMit, Mos_RC rc);
// Server, with the first head of a new socket in the task's head (netSec_Accept_CK): accept,
// refuse or upgrade. After an upgrade the head holds the client's next head (its NEW_CON), read
// through TLS and checked.
Mos_RC netSec_SslAccept_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netSec_SslHandshake_CK(MosMit *pMit, Mos_RC rc);
// The task's list through TLS: all of it out, or filled from the transfer offset to its end.
Mos_RC netSec_Send_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netSec_Recv_CK(MosMit *pMit, Mos_RC rc);
// Moves the session's pending ciphertext to the socket / one chunk of ciphertext into the session.
Mos_RC netSec_SslSend_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netSec_SslRecv_CK(MosMit *pMit, Mos_RC rc);

// A client connection's parameters (reset when pParams is null); every path of the connection is
// failed so that it reconnects under them. MOS_RC__ILLEGAL for a server connection.
Mos_RC netCon_UpdateConSecParams(NetCon *pCon, const NetSecConParams *pParams);
// The same through the connection's handle; MOS_RC__ERROR when it is not found.
Mos_RC net_UpdateConSecParams(Net *pNet, HNetCon hCon, const NetSecConParams *pParams);
