// A path's receive side fed by a peer that sends anything: the input is the byte stream of one
// socket, read as the receive loop reads it. Each 128-byte head goes through the validity check
// (a bad one ends the stream, as it closes the path); a valid head's payload is either dropped in
// null-buffer pieces or placed across consumer buffers split as the input chooses (the first one
// often shorter than the bytes the head carried), the head's bytes first and the rest read after
// them. Every payload read must be exactly the bytes the wire carried for it. The input's tail is
// then sent as a payload by the sender's own framing and read back the same way.
//
// Layout of an input: repeated [1 byte: buffer split][128-byte head][payload bytes after the head],
// and whatever is left when no whole head remains is the tail payload.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mos/env/mos_net_iov.h"
#include "mos/mos_dbg.h"
#include "net/net_path_intrn.h"
#include "net/net_socket_header.h"

namespace {
// Announced lengths beyond this are refused by the check, as the configured maximum does on a
// path; it keeps the buffers a fuzz input can ask for small.
constexpr UINT32 kMaxDataLen = 1u << 20;
// The path manager's null buffer, the piece size in which dropped payloads are read.
constexpr UINT32 kNullBufBytes = 16384;
constexpr UINT32 kMaxConsumerBuffers = 8;

[[noreturn]] void fuzz_Fail(const char *pWhat)
{
    fprintf(stderr, "receive path fault: %s\n", pWhat);
    abort();
}

// The consumer's buffers for a payload of len bytes, in as many pieces as seed asks for: the first
// piece is 1 to 128 bytes, the others share the rest.
void fuzz_SplitBuffers(std::vector<UINT8> &store, UINT32 len, UINT8 seed, NetSmallIov *pIov)
{
    const UINT32 pieces = 1 + seed % kMaxConsumerBuffers;
    UINT32 first = MOS_MIN(len, 1u + (UINT32)(seed * 37u) % 128u);
    UINT32 at = 0;
    for (UINT32 i = 0; i < pieces && at < len; i++) {
        UINT32 piece = i == 0 ? first : (i + 1 == pieces ? len - at : MOS_MAX(1u, (len - at) / (pieces - i)));
        netIov_AddBuffer(pIov, store.data() + at, piece, NET_IOV_BUF_TYPE__USER_FIRST);
        at += piece;
    }
    if (at < len)
        netIov_AddBuffer(pIov, store.data() + at, len - at, NET_IOV_BUF_TYPE__USER_FIRST);
}

// The socket's part: fills pIov's buffers in order from the wire.
UINT32 fuzz_RecvInto(NetSmallIov *pIov, const UINT8 *pWire, UINT32 wireLen)
{
    UINT32 taken = 0;
    for (UINT32 i = 0; i < pIov->numOfUsedBuffers; i++) {
        const UINT32 len = (UINT32)pIov->buf[i].iov_len;
        if (taken + len > wireLen)
            fuzz_Fail("a read list reaches past the payload");
        memcpy(pIov->buf[i].iov_base, pWire + taken, len);
        taken += len;
    }
    return taken;
}

// Reads one frame whose head is pHead and whose post-head bytes are pWire (at least the head's
// count of them) into consumer buffers split by seed, and checks the payload against the wire.
void fuzz_ReadPayload(const Socket_ExtendedHeader *pHead, const UINT8 *pWire, UINT32 after, UINT8 seed)
{
    const UINT32 dataLen = pHead->header.dataLen;
    std::vector<UINT8> store(dataLen, 0xEE);
    NetSmallIov rcv, rest;
    NET_IOV__INIT(&rcv);
    NET_IOV__INIT(&rest);
    fuzz_SplitBuffers(store, dataLen, seed, &rcv);
    const UINT32 restLen = netPath_PrepareRestOfPayload(pHead, &rcv, &rest);
    if (restLen != after)
        fuzz_Fail("the rest to read differs from the bytes after the head");
    if (restLen != 0 && fuzz_RecvInto(&rest, pWire, after) != after)
        fuzz_Fail("the rest's read list does not cover the bytes after the head");
    const UINT32 inHead = pHead->header.dataLenInExt;
    if (memcmp(store.data(), pHead->metaData, inHead) != 0 ||
        memcmp(store.data() + inHead, pWire, dataLen - inHead) != 0)
        fuzz_Fail("the payload read is not the payload sent");
    netIov_Destroy(&rest);
    netIov_Destroy(&rcv);
}

// The sender's framing of payload, its first buffer `first` bytes long, read back.
void fuzz_RoundTrip(const UINT8 *pPayload, UINT32 len, UINT32 first, UINT8 seed)
{
    std::vector<UINT8> copy(pPayload, pPayload + len);
    NetSmallIov payload, wire;
    NET_IOV__INIT(&payload);
    NET_IOV__INIT(&wire);
    if (len != 0) {
        first = MOS_MIN(MOS_MAX(first, 1u), len);
        netIov_AddBuffer(&payload, copy.data(), first, NET_IOV_BUF_TYPE__USER_FIRST);
        if (first < len)
            netIov_AddBuffer(&payload, copy.data() + first, len - first, NET_IOV_BUF_TYPE__USER_FIRST);
    }
    Socket_ExtendedHeader head;
    memset(&head, 0, sizeof(head));
    socketHeader_FillData(&head, NET_MSG_TYPE__NOTIFICATION, 7, NET__RECV_GROUP__DEF, 9, 1);
    if (socketHeader_PrepareWire(&head, &payload, &wire, kMaxDataLen) != MOS_RC__SUCCESS)
        fuzz_Fail("the sender refused a payload within the maximum");
    std::vector<UINT8> bytes;
    for (UINT32 i = 0; i < wire.numOfNetBufs; i++)
        bytes.insert(bytes.end(), (const UINT8 *)wire.netBuf[i].iov_base,
                     (const UINT8 *)wire.netBuf[i].iov_base + wire.netBuf[i].iov_len);
    for (UINT32 i = 0; i < wire.numOfUsedBuffers; i++)
        bytes.insert(bytes.end(), (const UINT8 *)wire.buf[i].iov_base,
                     (const UINT8 *)wire.buf[i].iov_base + wire.buf[i].iov_len);
    if (bytes.size() != socketHeader_WireSize(len, len == 0 ? 0 : first))
        fuzz_Fail("the wire size differs from its formula");
    netIov_Destroy(&wire);
    netIov_Destroy(&payload);

    Socket_ExtendedHeader rcvHead;
    memcpy(&rcvHead, bytes.data(), sizeof(rcvHead));
    if (!netPath_IsHeaderValid(&rcvHead.header, kMaxDataLen))
        fuzz_Fail("the receiver refused the sender's head");
    const UINT32 after = netPath_PayloadAfterHead(&rcvHead.header);
    if (rcvHead.header.dataLen != len || sizeof(rcvHead) + after != bytes.size())
        fuzz_Fail("the head's lengths do not match the frame");
    if (len == 0)
        return;
    fuzz_ReadPayload(&rcvHead, bytes.data() + sizeof(rcvHead), after, seed);
    std::vector<UINT8> back(rcvHead.metaData, rcvHead.metaData + rcvHead.header.dataLenInExt);
    back.insert(back.end(), bytes.begin() + sizeof(rcvHead), bytes.end());
    if (back != copy)
        fuzz_Fail("the round trip changed the payload");
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Long consumer lists leave the small list's slots for blocks of the C heap.
    MosNetSmallIov_InitParams params = {FALSE, 0};
    MOS_ASSERT_SUCCESS(netIovInfo_Init(&params));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t size)
{
    const UINT8 *p = pData;
    size_t left = size;
    while (left >= 1 + sizeof(Socket_ExtendedHeader)) {
        const UINT8 seed = *p;
        Socket_ExtendedHeader head;
        memcpy(&head, p + 1, sizeof(head));
        p += 1 + sizeof(head);
        left -= 1 + sizeof(head);
        if (!netPath_IsHeaderValid(&head.header, kMaxDataLen))
            return 0; // the path closes
        const UINT32 after = netPath_PayloadAfterHead(&head.header);
        if (after > left)
            return 0; // the peer went away inside the frame
        if (seed & 0x80) {
            // Dropped: read in null-buffer pieces until nothing of the frame is left.
            UINT32 toDrop = after;
            while (toDrop > 0)
                toDrop -= MOS_MIN(toDrop, kNullBufBytes);
        } else if (!socketHeader_IsControlType(SOCKET_HEADER__GET_HEADER_TYPE(head.header.prop)) &&
                   head.header.dataLen != 0) {
            fuzz_ReadPayload(&head, p, after, seed);
        }
        p += after;
        left -= after;
    }
    const UINT32 tail = (UINT32)MOS_MIN(left, (size_t)kMaxDataLen);
    fuzz_RoundTrip(p, tail, tail == 0 ? 0 : 1 + p[0] % 160u, tail == 0 ? 0 : p[tail - 1]);
    return 0;
}
