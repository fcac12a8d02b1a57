// TLS in the HTTP loop: the context's files (loaded whole or not at all,
// a failed reload keeping the one in use), a real TLS client answered, a
// plain client answered nothing, and a handshake that never finishes
// closed at the request deadline. Certificates made by the openssl
// command line, once for the suite.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "http/http_channel.h"
#include "http/http_loop.h"
#include "http/tls_context.h"
#include "support/loopback_client.h"

namespace {

using namespace std::chrono_literals;
using qel::http::ConnectionLimits;
using qel::http::HttpLoop;
using qel::http::TlsContext;
using qel::http::TlsFiles;
namespace fs = std::filesystem;

fs::path dir;
bool made = false;

std::string At(const std::string& name) { return (dir / name).string(); }

class TlsTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = fs::temp_directory_path() / ("tls-loop-" + std::to_string(getpid()));
        fs::create_directories(dir);
        const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
        const std::string in = "cd " + dir.string() + " && ";
        made = std::system((in + "openssl req -x509 " + key + " -keyout a.key -out a.crt -days 2 -subj /CN=gate-a "
                                 "2>/dev/null && openssl req -x509 " + key +
                            " -keyout b.key -out b.crt -days 2 -subj /CN=gate-b 2>/dev/null")
                               .c_str()) == 0;
        std::ofstream(At("junk.pem")) << "not a certificate\n";
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }
    void SetUp() override {
        if (!made) GTEST_SKIP() << "the openssl command line could not make test certificates";
    }
};

struct FilesCase {
    const char* name;
    TlsFiles files;
    bool loads;
    const char* said;  // in the error
};

class TlsFilesTest : public TlsTest, public testing::WithParamInterface<FilesCase> {};

TEST_P(TlsFilesTest, LoadedWholeOrRefusedWithTheFile) {
    const FilesCase& c = GetParam();
    TlsFiles files{c.files.cert.empty() ? "" : At(c.files.cert), c.files.key.empty() ? "" : At(c.files.key),
                   c.files.clientCa.empty() ? "" : At(c.files.clientCa)};
    TlsContext context;
    std::string error;
    EXPECT_EQ(context.Load(files, error), c.loads) << error;
    if (c.loads) {
        EXPECT_NE(context.Describe().find("/CN=gate-a"), std::string::npos) << context.Describe();
        ssl_st* session = context.NewSession(-1);
        EXPECT_NE(session, nullptr);
        qel::http::ChannelClose(-1, session);  // the session holds the context: let both go
    } else {
        EXPECT_NE(error.find(c.said), std::string::npos) << error;
        EXPECT_EQ(context.NewSession(-1), nullptr);  // nothing half loaded
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsFilesTest,
    testing::Values(FilesCase{"Good", {"a.crt", "a.key", ""}, true, ""},
                    FilesCase{"GoodWithClientCa", {"a.crt", "a.key", "b.crt"}, true, ""},
                    FilesCase{"MissingCert", {"none.crt", "a.key", ""}, false, "--http-tls-cert"},
                    FilesCase{"JunkCert", {"junk.pem", "a.key", ""}, false, "--http-tls-cert"},
                    FilesCase{"JunkKey", {"a.crt", "junk.pem", ""}, false, "--http-tls-key"},
                    FilesCase{"KeyOfAnother", {"a.crt", "b.key", ""}, false, "does not belong"},
                    FilesCase{"JunkClientCa", {"a.crt", "a.key", "junk.pem"}, false, "--http-tls-client-ca"}),
    [](const testing::TestParamInfo<FilesCase>& p) { return std::string(p.param.name); });

TEST_F(TlsTest, AFailedReloadKeepsTheOneInUse) {
    fs::copy_file(At("a.crt"), At("live.crt"), fs::copy_options::overwrite_existing);
    fs::copy_file(At("a.key"), At("live.key"), fs::copy_options::overwrite_existing);
    TlsContext context;
    std::string error;
    ASSERT_TRUE(context.Load({At("live.crt"), At("live.key"), ""}, error)) << error;
    fs::copy_file(At("b.crt"), At("live.crt"), fs::copy_options::overwrite_existing);  // the key does not follow
    EXPECT_FALSE(context.Reload(error));
    EXPECT_NE(context.Describe().find("/CN=gate-a"), std::string::npos);
    fs::copy_file(At("b.key"), At("live.key"), fs::copy_options::overwrite_existing);
    EXPECT_TRUE(context.Reload(error)) << error;
    EXPECT_NE(context.Describe().find("/CN=gate-b"), std::string::npos);
}

int Connect(int port) {
    const int fd = testsupport::ConnectLoopback(port);
    EXPECT_GE(fd, 0);
    return fd;
}

// Whether the server closed within `seconds`, and what it sent.
bool ClosedWithin(int fd, double seconds, std::string& got) {
    bool closed = false;
    got += testsupport::ReadUntilClosed(fd, seconds, &closed);
    return closed;
}

struct TlsServed {
    HttpLoop loop;
    TlsServed(ConnectionLimits limits)
        : loop([](const qel::http::Request& request, qel::http::Responder respond) {
                   qel::http::Response response;
                   response.contentType = "text/plain";
                   response.body = request.path;
                   respond(response);
               },
               limits) {
        auto tls = std::make_shared<TlsContext>();
        std::string error;
        EXPECT_TRUE(tls->Load({At("a.crt"), At("a.key"), ""}, error)) << error;
        loop.UseTls(tls);
        EXPECT_TRUE(loop.Listen("127.0.0.1", 0, error)) << error;
        loop.Start();
    }
};

TEST_F(TlsTest, ATlsClientIsAnsweredAndAPlainOneIsNot) {
    TlsServed served({});
    // A TLS client (not verifying: the test's own self-signed certificate).
    SSL_CTX* client = SSL_CTX_new(TLS_client_method());
    ASSERT_NE(client, nullptr);
    const int fd = Connect(served.loop.Port());
    SSL* ssl = SSL_new(client);
    SSL_set_fd(ssl, fd);
    ASSERT_EQ(SSL_connect(ssl), 1);
    const std::string request = "GET /over-tls HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(SSL_write(ssl, request.data(), static_cast<int>(request.size())), static_cast<int>(request.size()));
    std::string answer;
    char buffer[4096];
    for (int n; (n = SSL_read(ssl, buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("\r\n\r\n/over-tls"), std::string::npos) << answer;
    SSL_free(ssl);
    ::close(fd);
    SSL_CTX_free(client);
    ERR_clear_error();
    // Plain HTTP: closed, no HTTP answer in clear text.
    const int plain = Connect(served.loop.Port());
    const std::string get = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(::send(plain, get.data(), get.size(), MSG_NOSIGNAL), static_cast<ssize_t>(get.size()));
    std::string got;
    EXPECT_TRUE(ClosedWithin(plain, 5, got));
    EXPECT_EQ(got.find("HTTP/"), std::string::npos) << got;
    ::close(plain);
}

TEST_F(TlsTest, AHandshakeThatNeverFinishesIsClosedAtTheRequestDeadline) {
    ConnectionLimits limits;
    limits.requestDeadline = 400ms;
    TlsServed served(limits);
    const auto start = std::chrono::steady_clock::now();
    const int silent = Connect(served.loop.Port());  // not a byte
    const int partial = Connect(served.loop.Port());  // a ClientHello's record header, and no more
    const unsigned char header[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01};
    ASSERT_EQ(::send(partial, header, sizeof header, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof header));
    for (const int fd : {silent, partial}) {
        std::string got;
        EXPECT_TRUE(ClosedWithin(fd, 3, got));
        EXPECT_EQ(got, "");
        ::close(fd);
    }
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, 0.35);
    EXPECT_LT(took, 2.0);
    EXPECT_EQ(served.loop.Counts().timedOut.load(), 2u);
    EXPECT_EQ(served.loop.Counts().open.load(), 0u);
}

}  // namespace
