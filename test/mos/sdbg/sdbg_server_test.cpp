// Debug object server: a loopback client counts, dumps and pokes registered objects, gets the
// error answers of bad requests, and has its oversized requests refused.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/sdbg_exports_size.h"
#include "mos/mos_obj.h"
#include "mos/sdbg/sdbg_server.h"
#include "test/support/umt_test_support.h"

namespace {

::testing::Environment *const kEnv = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

constexpr UINT32 kType = SDBG_EXPORTS_OBJ_TYPE__TGT_HEAD; // 8-byte records
constexpr UINT32 kUnregistered = SDBG_EXPORTS_OBJ_TYPE__ACTOR;

struct Widget {
    MosObj obj;
    UINT64 value;
};

struct Backdoor {
    UINT32 op = 0;
    UINT32 argCount = 0;
    std::vector<std::string> args;
} lastBackdoor;

void widgetQuery(MosObj *pObj, const CHAR_A *, void *pData)
{
    const auto *w = MOS_CONTAINER_OF(pObj, Widget, obj);
    memcpy(pData, &w->value, sizeof(w->value));
}

void widgetBackdoor(MosObj *, UINT32 op, UINT32 argCount, PSdbgConfStr argVec)
{
    lastBackdoor.op = op;
    lastBackdoor.argCount = argCount;
    lastBackdoor.args.clear();
    for (UINT32 i = 0; i < argCount; i++)
        lastBackdoor.args.emplace_back(argVec[i].str, strnlen(argVec[i].str, SDBG_CONF_STR_LEN));
}

using Bytes = std::vector<UINT8>;

void put(Bytes *pB, UINT32 word)
{
    const UINT8 *p = reinterpret_cast<const UINT8 *>(&word);
    pB->insert(pB->end(), p, p + 4);
}

Bytes body(std::initializer_list<UINT32> words)
{
    Bytes b;
    for (UINT32 w : words)
        put(&b, w);
    return b;
}

// A client of the server on the loopback address.
class Client {
  public:
    explicit Client(UINT16 port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == 0;
    }
    ~Client() { close(fd_); }
    bool connected() const { return connected_; }
    // Sends one frame and reads up to `expected` bytes of answer (fewer when the server closes).
    Bytes ask(const Bytes &req, UINT32 expected, UINT32 magic = SDBG_EXPORTS__MAGIC, UINT32 declared = ~0u)
    {
        Bytes frame;
        put(&frame, magic);
        put(&frame, declared != ~0u ? declared : (UINT32)req.size());
        put(&frame, expected);
        frame.insert(frame.end(), req.begin(), req.end());
        if (send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) != (ssize_t)frame.size())
            return {};
        return read(expected);
    }
    Bytes read(size_t size)
    {
        Bytes answer(size);
        size_t got = 0;
        while (got < size) {
            const ssize_t n = recv(fd_, answer.data() + got, size - got, 0);
            if (n <= 0)
                break;
            got += (size_t)n;
        }
        answer.resize(got);
        return answer;
    }
    // True when the server closed the connection (a reset counts: it may close with bytes of
    // ours unread).
    bool closedByServer()
    {
        UINT8 byte;
        return recv(fd_, &byte, 1, 0) <= 0;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

class SdbgServer : public ::testing::Test {
  protected:
    void SetUp() override
    {
        mosObjType_RegObjType(&type, widgetQuery, widgetBackdoor, kType, 8);
        for (UINT32 i = 0; i < 3; i++) {
            widgets[i].value = 0x1000 + i;
            mosObjType_RegObj(&type, &widgets[i].obj, "widget");
        }
        const SdbgServer_InitParam param{SDBG_EXPORTS_MODULE_TYPE__TGT, 0};
        ASSERT_EQ(sdbgServer_Init(&param), MOS_RC__SUCCESS);
        for (int i = 0; i < 2000 && !sdbgServer_Get()->env.bInitialized; i++)
            usleep(5000);
        ASSERT_TRUE(sdbgServer_Get()->env.bInitialized);
        port = sdbgServer_Get()->initParams.sdbgPort;
        ASSERT_NE(port, 0);
    }
    void TearDown() override
    {
        sdbgServer_Destroy();
        for (Widget &w : widgets)
            mosObjType_UnregObj(&type, &w.obj);
        mosObjType_UnregObjType(&type);
    }
    MosObj_Type type{};
    Widget widgets[3]{};
    UINT16 port = 0;
};

Bytes withFill(Bytes b, size_t total)
{
    b.resize(total, 0xFF);
    return b;
}

TEST_F(SdbgServer, CountsReportsTheModuleAndAnswersErrorsOnOneConnection)
{
    Client c(port);
    ASSERT_TRUE(c.connected());
    struct Case {
        const char *what;
        Bytes req;
        UINT32 expected;
        Bytes answer;
    };
    const Case cases[] = {
        {"count", body({1, kType}), 8, body({1, 3})},
        {"count, short answer", body({1, kType}), 7, withFill(body({3}), 7)},
        {"count, long answer", body({1, kType}), 100, withFill(body({1, 3}), 100)},
        {"count, unknown type", body({1, kUnregistered}), 8, withFill(body({4}), 8)},
        {"module", body({3}), 8, body({1, SDBG_EXPORTS_MODULE_TYPE__TGT})},
        {"crash", body({5}), 4, body({4})},
        {"type 0", body({0, kType}), 4, body({2})},
        {"type 7", body({7, kType}), 4, body({2})},
        {"body shorter than its type", body({1}), 4, body({2})},
        {"chosen, count 11", body({4, 11}), 8, withFill(body({6}), 8)},
        {"chosen, count 0", body({4, 0}), 8, withFill(body({6}), 8)},
        {"chosen, pairs missing", body({4, 2, kType, 0}), 64, withFill(body({2}), 64)},
    };
    for (const Case &tc : cases)
        EXPECT_EQ(c.ask(tc.req, tc.expected), tc.answer) << tc.what;
}

TEST_F(SdbgServer, DumpsAllOrChosenObjects)
{
    Client c(port);
    ASSERT_TRUE(c.connected());
    const UINT32 types[] = {kType};
    const UINT32 needed = (UINT32)sdbgExports_CalcSizeOfResponse(2, types, 3);
    ASSERT_EQ(needed, 80u);
    Bytes want = body({1, 3});
    for (UINT32 i = 0; i < 3; i++) {
        put(&want, kType);
        put(&want, i);
        put(&want, 8);
        put(&want, 0x1000 + i);
        put(&want, 0);
    }
    put(&want, SDBG_EXPORTS_OBJ_TYPE__RESPONSE_END);
    put(&want, 3);
    put(&want, 0);
    EXPECT_EQ(c.ask(body({2, kType}), needed), want);
    EXPECT_EQ(c.ask(body({2, kType}), needed - 1), withFill(body({3}), needed - 1));
    EXPECT_EQ(c.ask(body({2, kUnregistered}), 8), withFill(body({4}), 8));

    // Chosen objects come in request order.
    const UINT32 chosen[] = {kType, kType};
    const UINT32 chosenSize = (UINT32)sdbgExports_CalcSizeOfResponse(4, chosen, 2);
    ASSERT_EQ(chosenSize, 56u);
    const Bytes answer = c.ask(body({4, 2, kType, 2, kType, 0}), chosenSize + 4);
    EXPECT_EQ(answer, withFill(body({1, kType, 2, 8, 0x1002, 0, kType, 0, 8, 0x1000, 0,
                                     SDBG_EXPORTS_OBJ_TYPE__RESPONSE_END, 2, 0}),
                               chosenSize + 4));

    // A missing object ends the answer after the entries already sent, and the connection.
    const Bytes partial = c.ask(body({4, 2, kType, 1, kType, 9}), chosenSize);
    EXPECT_EQ(partial, body({1, kType, 1, 8, 0x1001, 0}));
    EXPECT_TRUE(c.closedByServer());
}

TEST_F(SdbgServer, SpecialCommandReachesTheBackdoor)
{
    Client c(port);
    ASSERT_TRUE(c.connected());
    auto special = [](UINT32 index, UINT32 argCount) {
        SdbgExports_SpecialComReq req{};
        req.requestType = SDBG_EXPORTS_REQUEST_TYPE__SPECIAL_COM;
        req.specialCom = SDBG_EXPORTS_SPECIAL_COM_TYPE__CONFIG_OBJ;
        req.objType = kType;
        req.objIndex = index;
        req.argCount = argCount;
        strcpy(req.args[0], "alpha");
        memset(req.args[1], 'x', sizeof(req.args[1])); // no NUL: cut to 63 characters
        const UINT8 *p = reinterpret_cast<const UINT8 *>(&req);
        return Bytes(p, p + sizeof(req));
    };
    EXPECT_EQ(c.ask(special(1, 2), 4), body({1}));
    EXPECT_EQ(lastBackdoor.op, (UINT32)SDBG_EXPORTS_SPECIAL_COM_TYPE__CONFIG_OBJ);
    ASSERT_EQ(lastBackdoor.args.size(), 2u);
    EXPECT_EQ(lastBackdoor.args[0], "alpha");
    EXPECT_EQ(lastBackdoor.args[1], std::string(63, 'x'));
    EXPECT_EQ(c.ask(special(3, 1), 4), body({4}));
    EXPECT_EQ(c.ask(special(0, 6), 4), body({2}));
}

TEST_F(SdbgServer, OversizedOrMalformedFramesCloseTheConnection)
{
    struct Case {
        const char *what;
        UINT32 magic;
        UINT32 declaredBody;
        UINT32 expected;
        Bytes answer;
    };
    const Case cases[] = {
        {"body above the largest request", SDBG_EXPORTS__MAGIC, 1u << 30, 8, body({5})},
        {"answer above the limit", SDBG_EXPORTS__MAGIC, 0, SDBG_SERVER__MAX_RESPONSE_SIZE + 1, body({5})},
        {"bad magic", 0x12345678, 0, 8, {}},
        {"answer below one word", SDBG_EXPORTS__MAGIC, 8, 2, {}},
    };
    for (const Case &tc : cases) {
        Client c(port);
        ASSERT_TRUE(c.connected());
        const UINT32 declared = tc.declaredBody;
        const Bytes req = declared == 8 ? body({1, kUnregistered}) : Bytes{};
        EXPECT_EQ(c.ask(req, tc.expected, tc.magic, declared), tc.answer) << tc.what;
        EXPECT_TRUE(c.closedByServer()) << tc.what;
    }
    // The server goes on serving the next client.
    Client next(port);
    ASSERT_TRUE(next.connected());
    EXPECT_EQ(next.ask(body({1, kType}), 8), body({1, 3}));
}

TEST_F(SdbgServer, StopsWhileAClientIsConnected)
{
    Client idle(port);
    ASSERT_TRUE(idle.connected());
    EXPECT_EQ(idle.ask(body({3}), 8), body({1, SDBG_EXPORTS_MODULE_TYPE__TGT}));
    sdbgServer_Destroy(); // the served client's pending read is woken, not waited for
    EXPECT_FALSE(sdbgServer_Get()->env.bInitialized);
    EXPECT_TRUE(idle.closedByServer());
}

TEST(SdbgExportsSizes, RequestAnswerAndRecordSizes)
{
    const UINT32 big[] = {SDBG_EXPORTS_OBJ_TYPE__TGT_HEAD, SDBG_EXPORTS_OBJ_TYPE__OSTREL_MULTIHEAD};
    EXPECT_EQ(sdbgExports_CalcRawSizeOfObject(SDBG_EXPORTS_OBJ_TYPE__MOS_EXECUTION_STACK), 15900u);
    EXPECT_EQ(sdbgExports_CalcRawSizeOfObject(SDBG_EXPORTS_OBJ_TYPE__MOS_UMT_CLASS), 352u);
    EXPECT_EQ(sdbgExports_CalcRawSizeOfObject(SDBG_EXPORTS_OBJ_TYPE__START_DONT_USE), 0u);
    EXPECT_EQ(sdbgExports_CalcRawSizeOfObject(144), 0u);
    EXPECT_EQ(sdbgExports_CalcRawSizeOfObject(SDBG_EXPORTS_OBJ_TYPE__RESPONSE_END), 0u);
    EXPECT_EQ(sdbgExports_CalcSizeOfCmd(1, nullptr, 0), 8u);
    EXPECT_EQ(sdbgExports_CalcSizeOfCmd(3, nullptr, 0), 4u);
    EXPECT_EQ(sdbgExports_CalcSizeOfCmd(4, nullptr, 3), 32u);
    EXPECT_EQ(sdbgExports_CalcSizeOfCmd(4, nullptr, 11), 0u);
    EXPECT_EQ(sdbgExports_CalcSizeOfCmd(5, nullptr, 0), 0u);
    EXPECT_EQ(sdbgExports_CalcSizeOfCmd(6, nullptr, 0), 340u);
    EXPECT_EQ(sdbgExports_CalcSizeOfResponse(4, big, 2), 16u + 24 + 8 + 73856);
    EXPECT_EQ(sdbgExports_CalcSizeOfResponse(2, big + 1, 0xFFFFFFFFu), 0xFFFFFFFFull * (73856 + 12) + 20);
    EXPECT_EQ(sdbgExports_CalcSizeOfResponse(5, nullptr, 0), 4u);
    EXPECT_EQ(sdbgExports_CalcSizeOfResponse(9, nullptr, 0), 0u);
}

} // namespace
