// SHA-2 against the FIPS 180-2 vectors, against the openssl command for the lengths around the
// padding boundaries, and incremental hashing in every split.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/sha2.h"
#include "common/sha2_intrn.h"
#include "test/support/scratch_dir.h"
#include "test/support/panic_expect.h"

namespace {

enum class Alg { SHA256, SHA384, SHA512 };

std::string hashOf(Alg alg, const std::string &msg)
{
    char text[SHA512_DIGEST_STRING_LENGTH] = {};
    const sha2_byte *p = reinterpret_cast<const sha2_byte *>(msg.data());
    char *pEnd = nullptr;
    switch (alg) {
    case Alg::SHA256: pEnd = SHA256_Data(p, msg.size(), text); break;
    case Alg::SHA384: pEnd = SHA384_Data(p, msg.size(), text); break;
    case Alg::SHA512: pEnd = SHA512_Data(p, msg.size(), text); break;
    }
    EXPECT_EQ(*pEnd, '\0');
    EXPECT_EQ((size_t)(pEnd - text), strlen(text));
    return text;
}

// Hashes msg in two updates split at `cut`, the first one of which may be empty.
std::string hashSplit(Alg alg, const std::string &msg, size_t cut)
{
    const sha2_byte *p = reinterpret_cast<const sha2_byte *>(msg.data());
    char text[SHA512_DIGEST_STRING_LENGTH] = {};
    if (alg == Alg::SHA256) {
        SHA256_CTX ctx;
        SHA256_Init(&ctx);
        SHA256_Update(&ctx, p, cut);
        SHA256_Update(&ctx, p + cut, msg.size() - cut);
        SHA256_End(&ctx, text);
    } else {
        SHA512_CTX ctx;
        alg == Alg::SHA384 ? SHA384_Init(&ctx) : SHA512_Init(&ctx);
        SHA384_Update(&ctx, p, cut);
        SHA512_Update(&ctx, p + cut, msg.size() - cut);
        alg == Alg::SHA384 ? (void)SHA384_End(&ctx, text) : (void)SHA512_End(&ctx, text);
    }
    return text;
}

const std::string kAbc = "abc";
const std::string k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k896 = "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
const std::string kMillionA(1000000, 'a');

struct Vector {
    Alg alg;
    const std::string *pMsg;
    const char *pHex;
};

const Vector kVectors[] = {
    {Alg::SHA256, &kAbc, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {Alg::SHA256, &k448, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {Alg::SHA256, &kMillionA, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {Alg::SHA384, &kAbc,
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
    {Alg::SHA384, &k896,
     "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"},
    {Alg::SHA384, &kMillionA,
     "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985"},
    {Alg::SHA512, &kAbc,
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
     "454d4423643ce80e2a9ac94fa54ca49f"},
    {Alg::SHA512, &k896,
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433a"
     "c7d329eeb6dd26545e96e55b874be909"},
    {Alg::SHA512, &kMillionA,
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31b"
     "eb009c5c2c49aa2e4eadb217ad8cc09b"},
};

TEST(Sha2, FipsVectors)
{
    for (const Vector &v : kVectors) {
        EXPECT_EQ(hashOf(v.alg, *v.pMsg), v.pHex) << "message of " << v.pMsg->size() << " bytes";
        // The same message fed in pieces of 7 and 1000 bytes crosses every block position.
        for (size_t piece : {(size_t)7, (size_t)1000}) {
            if (v.pMsg->size() > 200000 && piece == 7)
                continue;
            char text[SHA512_DIGEST_STRING_LENGTH] = {};
            const sha2_byte *p = reinterpret_cast<const sha2_byte *>(v.pMsg->data());
            const size_t n = v.pMsg->size();
            if (v.alg == Alg::SHA256) {
                SHA256_CTX ctx;
                SHA256_Init(&ctx);
                for (size_t off = 0; off < n; off += piece)
                    SHA256_Update(&ctx, p + off, std::min(piece, n - off));
                SHA256_End(&ctx, text);
            } else {
                SHA512_CTX ctx;
                v.alg == Alg::SHA384 ? SHA384_Init(&ctx) : SHA512_Init(&ctx);
                for (size_t off = 0; off < n; off += piece)
                    SHA512_Update(&ctx, p + off, std::min(piece, n - off));
                v.alg == Alg::SHA384 ? (void)SHA384_End(&ctx, text) : (void)SHA512_End(&ctx, text);
            }
            EXPECT_EQ(std::string(text), v.pHex) << "pieces of " << piece;
        }
    }
}

// Lengths around the padding boundaries (55 fits one SHA-256 block, 56 needs two; 111/112 the
// same for SHA-384/512), compared with the openssl command on the same bytes.
TEST(Sha2, AgreesWithOpensslAroundBlockBoundaries)
{
    const size_t kLengths[] = {0, 1, 55, 56, 57, 63, 64, 65, 111, 112, 113, 119, 127, 128, 129, 1000};
    ScratchDir dir;
    std::vector<std::string> messages;
    std::string files;
    for (size_t len : kLengths) {
        std::string msg;
        for (size_t i = 0; i < len; i++)
            msg.push_back((char)(i * 31 + len));
        const std::string f = dir.file("m" + std::to_string(len));
        std::ofstream(f, std::ios::binary) << msg;
        messages.push_back(msg);
        files += " " + f;
    }
    const std::pair<Alg, const char *> kAlgs[] = {{Alg::SHA256, "-sha256"}, {Alg::SHA384, "-sha384"},
                                                  {Alg::SHA512, "-sha512"}};
    for (const auto &[alg, flag] : kAlgs) {
        // "-r" prints "<hex> *<file>", one line per file in argument order.
        FILE *p = popen(("openssl dgst -r " + std::string(flag) + files + " 2>/dev/null").c_str(), "r");
        ASSERT_NE(p, nullptr);
        char line[512];
        size_t i = 0;
        while (fgets(line, sizeof(line), p) != nullptr && i < messages.size()) {
            const std::string expected = std::string(line).substr(0, std::string(line).find(' '));
            EXPECT_EQ(hashOf(alg, messages[i]), expected) << flag << " of " << messages[i].size() << " bytes";
            i++;
        }
        pclose(p);
        EXPECT_EQ(i, messages.size()) << "openssl dgst " << flag << " gave too few lines";
    }
}

TEST(Sha2, EverySplitGivesTheOneShotDigest)
{
    std::string msg;
    for (int i = 0; i < 300; i++)
        msg.push_back((char)(i * 7));
    for (Alg alg : {Alg::SHA256, Alg::SHA384, Alg::SHA512}) {
        const std::string whole = hashOf(alg, msg);
        for (size_t cut = 0; cut <= msg.size(); cut++)
            ASSERT_EQ(hashSplit(alg, msg, cut), whole) << "cut at " << cut;
    }
    // The server identifier: 8 bytes at once or in two calls of 4.
    const UINT64 id = 0x1122334455667788ULL;
    const std::string idBytes(reinterpret_cast<const char *>(&id), sizeof(id));
    EXPECT_EQ(hashSplit(Alg::SHA256, idBytes, 4), hashOf(Alg::SHA256, idBytes));
}

TEST(Sha2, EndWithoutBufferWipesAndGivesNoText)
{
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    SHA256_Update(&ctx, reinterpret_cast<const sha2_byte *>("abc"), 3);
    EXPECT_EQ(SHA256_End(&ctx, nullptr), nullptr);
    const SHA256_CTX zero{};
    EXPECT_EQ(memcmp(&ctx, &zero, sizeof(ctx)), 0);

    SHA512_CTX ctx512;
    SHA384_Init(&ctx512);
    SHA384_Update(&ctx512, reinterpret_cast<const sha2_byte *>("abc"), 3);
    EXPECT_EQ(SHA384_End(&ctx512, nullptr), nullptr);
    const SHA512_CTX zero512{};
    EXPECT_EQ(memcmp(&ctx512, &zero512, sizeof(ctx512)), 0);

    // Final without a digest only wipes; Init with null and Update of nothing are harmless.
    SHA512_Init(&ctx512);
    SHA512_Final(nullptr, &ctx512);
    EXPECT_EQ(memcmp(&ctx512, &zero512, sizeof(ctx512)), 0);
    SHA256_Init(nullptr);
    SHA256_Update(nullptr, nullptr, 0);
    SHA512_Update(nullptr, nullptr, 0);
}

// The digests above ran on whichever block function this processor chose; the portable one and the
// one on the SHA extensions must agree block for block.
TEST(Sha2, BlockFunctionsAgree)
{
    if (!sha256_HasShaExtensions())
        GTEST_SKIP() << "no SHA extensions on this processor";
    std::vector<sha2_byte> data(64 * 37);
    UINT32 seed = 12345;
    for (sha2_byte &b : data) {
        seed = seed * 1103515245u + 12345u;
        b = (sha2_byte)(seed >> 16);
    }
    for (size_t blocks : {(size_t)1, (size_t)2, (size_t)37}) {
        UINT32 portable[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
        UINT32 extensions[8];
        memcpy(extensions, portable, sizeof(portable));
        sha256Blocks_Portable(portable, data.data(), blocks);
        sha256Blocks_ShaNi(extensions, data.data(), blocks);
        EXPECT_EQ(memcmp(portable, extensions, sizeof(portable)), 0) << blocks << " blocks";
    }
}

TEST(Sha2DeathTest, UpdateWithoutContextOrDataStops)
{
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    EXPECT_PANIC(SHA256_Update(&ctx, nullptr, 1), "context != \\(SHA256_CTX\\*\\)0 && data != \\(sha2_byte\\*\\)0");
    EXPECT_PANIC(SHA512_Update(nullptr, reinterpret_cast<const sha2_byte *>("a"), 1), "context != \\(SHA512_CTX\\*\\)0 && data != \\(sha2_byte\\*\\)0");
    EXPECT_PANIC(SHA256_Final(nullptr, nullptr), "context != \\(SHA256_CTX\\*\\)0");
}

} // namespace
