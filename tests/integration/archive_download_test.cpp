// The archive download against a real HTTP server on loopback that answers
// each path with canned bytes: whole bodies, error statuses, redirects, a
// connection cut mid-body and a stalled one.
#include "update/transfer.hpp"

#include "base/handle.hpp"
#include "support/digest.hpp"
#include "support/temp_folder.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>

namespace vorlia {
namespace {
namespace fs = std::filesystem;

struct Answer {
    std::string head;            // status line and headers, without the blank line
    std::string body;            // bytes sent after the headers
    bool stallAfterBody = false; // keep the connection open, sending nothing more
    bool endless = false;        // after the body, send filler until the client goes
};

class LoopbackServer {
  public:
    explicit LoopbackServer(std::map<std::string, Answer> answers) : answers_(std::move(answers)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listener_, 8), 0);
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    // Filler bytes sent by endless answers so far.
    std::size_t fillerSent() const { return sent_; }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

  private:
    void serve() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    break;
                }
                request.append(buffer, static_cast<std::size_t>(n));
            }
            const std::size_t start = request.find(' ') + 1;
            const std::string path = request.substr(start, request.find(' ', start) - start);
            const auto found = answers_.find(path);
            const Answer answer =
                found != answers_.end() ? found->second : Answer{"HTTP/1.1 500 No Answer", ""};
            const std::string bytes = answer.head + "\r\nConnection: close\r\n\r\n" + answer.body;
            ::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            const std::string filler(1 << 16, 'e');
            while (answer.endless && !stop_) {
                pollfd c{client, POLLOUT, 0};
                if (::poll(&c, 1, 50) <= 0) {
                    continue;
                }
                const ssize_t n = ::send(client, filler.data(), filler.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n < 0 && errno != EAGAIN) {
                    break;
                }
                sent_ += n > 0 ? static_cast<std::size_t>(n) : 0;
            }
            while (answer.stallAfterBody && !stop_) {
                pollfd c{client, POLLIN, 0};
                if (::poll(&c, 1, 50) > 0 && ::recv(client, buffer, sizeof buffer, 0) <= 0) {
                    break;
                }
            }
            ::close(client);
        }
    }

    std::map<std::string, Answer> answers_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> sent_{0};
    std::thread thread_;
};

using vorlia::test::sha256Hex;

// Many times the block the download writes at once, and not a multiple of it:
// the stored file and its digest must hold every block and the part left over.
std::string archiveBytes() {
    std::string bytes;
    std::mt19937 random(7);
    for (int i = 0; i < 2'900'000; ++i) {
        bytes += static_cast<char>(random());
    }
    return bytes;
}

std::string lengthHeader(std::size_t n) {
    return "\r\nContent-Length: " + std::to_string(n);
}

class ArchiveDownload : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GE(sodium_init(), 0);
        session_ = adopt(soup_session_new_with_options("timeout", 2, nullptr));
    }
    DownloadResult fetch(const std::string& url, std::vector<DownloadProgress>* seen = nullptr) {
        GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr);
        EXPECT_NE(uri, nullptr);
        DownloadResult r =
            downloadArchive(session_.get(), uri, root_ / "update.zip", downloadBound(std::nullopt), nullptr,
                            [&](const DownloadProgress& p) {
                                if (seen != nullptr) {
                                    seen->push_back(p);
                                }
                            });
        g_uri_unref(uri);
        return r;
    }
    std::string stored() {
        std::ifstream in(root_ / "update.zip", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    const test::TempFolder temp_;
    const fs::path root_ = temp_.path();
    Handle<SoupSession> session_;
};

TEST_F(ArchiveDownload, StoresAndHashesTheWholeBodyWithProgressAgainstItsLength) {
    const std::string bytes = archiveBytes();
    LoopbackServer server({{"/a.zip", {"HTTP/1.1 200 OK" + lengthHeader(bytes.size()), bytes}}});
    std::vector<DownloadProgress> seen;
    const DownloadResult r = fetch(server.url("/a.zip"), &seen);
    EXPECT_TRUE(r.haveBody && r.httpResponse && r.bodyStored);
    EXPECT_FALSE(r.error);
    EXPECT_EQ(r.status, 200U);
    EXPECT_EQ(r.digestHex, sha256Hex(bytes));
    EXPECT_EQ(stored(), bytes);
    struct stat st {};
    ASSERT_EQ(::stat((root_ / "update.zip").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600U);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().received, bytes.size());
    for (const DownloadProgress& p : seen) {
        EXPECT_EQ(p.total, bytes.size());
    }
}

TEST_F(ArchiveDownload, BodyWithoutALengthHasNoKnownTotal) {
    LoopbackServer server({{"/a.zip", {"HTTP/1.1 200 OK", "close-delimited body"}}});
    std::vector<DownloadProgress> seen;
    const DownloadResult r = fetch(server.url("/a.zip"), &seen);
    EXPECT_FALSE(r.error);
    EXPECT_EQ(r.digestHex, sha256Hex("close-delimited body"));
    ASSERT_FALSE(seen.empty());
    EXPECT_FALSE(seen.back().total.has_value());
}

TEST_F(ArchiveDownload, EmptyBodyIsHashedLikeAnyOther) {
    LoopbackServer server({{"/a.zip", {"HTTP/1.1 200 OK" + lengthHeader(0), ""}}});
    const DownloadResult r = fetch(server.url("/a.zip"));
    EXPECT_TRUE(r.bodyStored);
    EXPECT_FALSE(r.error);
    EXPECT_EQ(r.digestHex, sha256Hex(""));
}

TEST_F(ArchiveDownload, RedirectFollowedToTheFinalAnswer) {
    const std::string bytes = archiveBytes();
    LoopbackServer server({{"/old.zip", {"HTTP/1.1 302 Found\r\nLocation: /new.zip" + lengthHeader(0), ""}},
                           {"/new.zip", {"HTTP/1.1 200 OK" + lengthHeader(bytes.size()), bytes}}});
    const DownloadResult r = fetch(server.url("/old.zip"));
    EXPECT_EQ(r.status, 200U);
    EXPECT_EQ(r.digestHex, sha256Hex(bytes));
}

TEST_F(ArchiveDownload, OtherStatusesAreNotStored) {
    LoopbackServer server({{"/404", {"HTTP/1.1 404 Not Found" + lengthHeader(9), "not found"}},
                           {"/206", {"HTTP/1.1 206 Partial Content" + lengthHeader(4), "part"}},
                           {"/304", {"HTTP/1.1 304 Not Modified", ""}}});
    for (const unsigned status : {404U, 206U, 304U}) {
        const DownloadResult r = fetch(server.url("/" + std::to_string(status)));
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(judgeDownload(r, sha256Hex("")), DownloadVerdict::didNotFinish);
        EXPECT_FALSE(fs::exists(root_ / "update.zip"));
    }
}

TEST_F(ArchiveDownload, ConnectionCutMidBodyIsAnError) {
    const std::string bytes = archiveBytes();
    LoopbackServer server(
        {{"/a.zip", {"HTTP/1.1 200 OK" + lengthHeader(bytes.size()), bytes.substr(0, bytes.size() / 2)}}});
    const DownloadResult r = fetch(server.url("/a.zip"));
    EXPECT_EQ(r.status, 200U);
    EXPECT_TRUE(r.error);
    EXPECT_EQ(judgeDownload(r, sha256Hex(bytes)), DownloadVerdict::didNotFinish);
}

std::string gzipped(const std::string& bytes) {
    GZlibCompressor* compressor = g_zlib_compressor_new(G_ZLIB_COMPRESSOR_FORMAT_GZIP, -1);
    std::string out(bytes.size() + 1024, '\0');
    gsize read = 0;
    gsize written = 0;
    g_converter_convert(G_CONVERTER(compressor), bytes.data(), bytes.size(), out.data(), out.size(),
                        G_CONVERTER_INPUT_AT_END, &read, &written, nullptr);
    g_object_unref(compressor);
    out.resize(written);
    return out;
}

// A server that compresses on the way: the announced length is the
// compressed one, the archive is what arrives after decoding.
TEST_F(ArchiveDownload, CompressedTransferIsStoredDecodedAndNotTakenForACut) {
    const std::string bytes(200'000, 'z');
    const std::string packed = gzipped(bytes);
    ASSERT_LT(packed.size(), bytes.size());
    LoopbackServer server(
        {{"/a.zip", {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip" + lengthHeader(packed.size()), packed}}});
    const DownloadResult r = fetch(server.url("/a.zip"));
    EXPECT_FALSE(r.error);
    EXPECT_EQ(r.digestHex, sha256Hex(bytes));
    EXPECT_EQ(stored(), bytes);
}

TEST_F(ArchiveDownload, ChunkedBodyCutMidChunkIsAnError) {
    LoopbackServer server({{"/a.zip", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked", "10\r\nonly half"}}});
    EXPECT_TRUE(fetch(server.url("/a.zip")).error);
}

std::string chunk(const std::string& bytes) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
    return size + bytes + "\r\n";
}

struct CutCase {
    const char* name;
    Answer answer;
    bool cut; // what the download must say
};

class ArchiveBodyEnd : public ArchiveDownload, public ::testing::WithParamInterface<CutCase> {};

// Each body ends on a boundary that libsoup alone takes for the end.
TEST_P(ArchiveBodyEnd, ACutIsAnErrorAndAWholeBodyIsNot) {
    LoopbackServer server({{"/a.zip", GetParam().answer}});
    const DownloadResult r = fetch(server.url("/a.zip"));
    EXPECT_EQ(r.error, GetParam().cut);
    if (!GetParam().cut) {
        EXPECT_EQ(r.digestHex, sha256Hex(archiveBytes()));
        EXPECT_EQ(stored(), archiveBytes());
    }
}

const std::string kChunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked";
const std::string kGzipChunked = kChunked + "\r\nContent-Encoding: gzip";
const std::string kWhole = archiveBytes();
const std::string kHalf = kWhole.substr(0, kWhole.size() / 2);
const std::string kPacked = gzipped(kWhole);
const std::string kPackedHalf = kPacked.substr(0, kPacked.size() / 2);

INSTANTIATE_TEST_SUITE_P(
    Cases, ArchiveBodyEnd,
    ::testing::Values(
        CutCase{"ChunkedWhole",
                {kChunked, chunk(kHalf) + chunk(kWhole.substr(kHalf.size())) + "0\r\n\r\n"},
                false},
        CutCase{"ChunkedCutBetweenChunks", {kChunked, chunk(kHalf)}, true},
        CutCase{"ChunkedWithoutTheLastChunkStalled", {kChunked, chunk(kHalf), true}, true},
        CutCase{"GzipWhole",
                {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip" + lengthHeader(kPacked.size()), kPacked},
                false},
        // With the connection closing, libsoup reads to the end of the stream
        // whatever the announced length.
        CutCase{"GzipCutShortOfItsLength",
                {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip" + lengthHeader(kPacked.size()), kPackedHalf},
                true},
        CutCase{"GzipChunkedWhole", {kGzipChunked, chunk(kPacked) + "0\r\n\r\n"}, false},
        CutCase{"GzipChunkedCut", {kGzipChunked, chunk(kPackedHalf)}, true},
        CutCase{
            "GzipStreamCutInsideAWholeChunkedBody", {kGzipChunked, chunk(kPackedHalf) + "0\r\n\r\n"}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// The bound of a manifest that says 1000 bytes: 64 MiB more.
TEST_F(ArchiveDownload, EndlessBodyIsReadOnlyJustPastTheBound) {
    LoopbackServer server({{"/a.zip", {"HTTP/1.1 200 OK", "", false, true}}});
    GUri* uri = g_uri_parse(server.url("/a.zip").c_str(), G_URI_FLAGS_NONE, nullptr);
    const std::uint64_t limit = downloadBound(1000);
    const DownloadResult r =
        downloadArchive(session_.get(), uri, root_ / "update.zip", limit, nullptr, nullptr);
    g_uri_unref(uri);
    EXPECT_GT(r.received, limit);
    EXPECT_LT(r.received, limit + (1 << 20));
    EXPECT_LT(fs::file_size(root_ / "update.zip"), limit + (1 << 20));
    EXPECT_EQ(judgeDownload(r, r.digestHex, 1000), DownloadVerdict::didNotFinish);
}

TEST_F(ArchiveDownload, StalledTransferEndsWithTheSessionTimeout) {
    LoopbackServer server({{"/a.zip", {"HTTP/1.1 200 OK" + lengthHeader(1000), "only the start", true}}});
    const DownloadResult r = fetch(server.url("/a.zip"));
    EXPECT_TRUE(r.error);
}

TEST_F(ArchiveDownload, UnreachableHostGivesNoBody) {
    int port = 0;
    {
        LoopbackServer closed({});
        port = std::stoi(closed.url("").substr(std::string("http://127.0.0.1:").size()));
    }
    const DownloadResult r = fetch("http://127.0.0.1:" + std::to_string(port) + "/a.zip");
    EXPECT_FALSE(r.haveBody);
    EXPECT_TRUE(r.error);
}

TEST_F(ArchiveDownload, AnExistingFileIsNeverWrittenThrough) {
    fs::create_symlink(root_ / "elsewhere", root_ / "update.zip");
    LoopbackServer server({{"/a.zip", {"HTTP/1.1 200 OK" + lengthHeader(3), "abc"}}});
    const DownloadResult r = fetch(server.url("/a.zip"));
    EXPECT_FALSE(r.bodyStored);
    EXPECT_FALSE(fs::exists(root_ / "elsewhere"));
}

} // namespace
} // namespace vorlia
