// Request bodies as they arrive on a socket: chunked decoding, lengths, limits,
// the interim-answer hook, and the pace a peer is held to.

#include "platform/BodyStream.h"
#include "platform/SocketStream.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using platform::BodyStream;
using platform::SocketStream;

namespace {

// A connected pair: the test writes as the peer on `peer`, the stream reads `ours`.
struct Pair {
    int peer = -1;
    std::unique_ptr<SocketStream> stream;
    Pair()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            throw std::runtime_error("no socket pair");
        peer = fds[0];
        stream = SocketStream::open(fds[1]);
    }
    ~Pair()
    {
        ::close(peer);
        stream->close();
    }
    void sendAndEnd(const std::string& bytes) const
    {
        testsupport::SendAll(peer, bytes);
        ::shutdown(peer, SHUT_WR);
    }
};

// Reads the body to its end in small pieces, so that chunk edges fall inside reads.
std::string Drain(BodyStream& body)
{
    std::string out;
    char buffer[3];
    while (!body.complete() && !body.failed())
        out.append(buffer, body.read(buffer, sizeof buffer));
    return out;
}

enum class End { Complete, Failed, TooLarge };

} // namespace

TEST(BodyStream, ChunkedDecoding)
{
    struct Row {
        const char* what;
        std::string wire;
        std::string decoded;
        End end;
        uint64_t limit = UINT64_MAX;
    };
    const std::string longLine = "1;" + std::string(5000, 'x') + "\r\nz\r\n0\r\n\r\n";
    std::string manyTrailers = "1\r\nz\r\n0\r\n";
    for (int i = 0; i < 65; ++i)
        manyTrailers += "X-T: 1\r\n";
    const std::vector<Row> rows{
        {"two chunks", "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", "abcde", End::Complete},
        {"extensions, upper-case hex", "A;name=\"v\"\r\n0123456789\r\n0;x\r\n\r\n", "0123456789", End::Complete},
        {"blank before the extension", "3 ;x\r\nabc\r\n0\r\n\r\n", "abc", End::Complete},
        {"bare line feeds", "3\nabc\n0\n\n", "abc", End::Complete},
        {"trailers dropped", "1\r\nz\r\n0\r\nX-T: 1\r\nX-U: 2\r\n\r\n", "z", End::Complete},
        {"empty body", "0\r\n\r\n", "", End::Complete},
        {"leading zeros", "0003\r\nabc\r\n00\r\n\r\n", "abc", End::Complete},
        {"cut inside a chunk", "5\r\nab", "ab", End::Failed},
        {"cut before the last chunk", "3\r\nabc\r\n", "abc", End::Failed},
        {"cut inside the trailers", "3\r\nabc\r\n0\r\n", "abc", End::Failed},
        {"size not hexadecimal", "zz\r\nabc\r\n0\r\n\r\n", "", End::Failed},
        {"size missing", ";x\r\nabc\r\n0\r\n\r\n", "", End::Failed},
        {"junk after the size", "3x\r\nabc\r\n0\r\n\r\n", "", End::Failed},
        {"negative size", "-3\r\nabc\r\n0\r\n\r\n", "", End::Failed},
        {"sixteen hex digits", "1000000000000000\r\nabc\r\n", "", End::Failed},
        {"size line beyond any real one", longLine, "", End::Failed},
        {"NUL in a size line", std::string("3\0\r\nabc\r\n0\r\n\r\n", 13), "", End::Failed},
        {"data longer than its size", "3\r\nabcd\r\n0\r\n\r\n", "abc", End::Failed},
        {"endless trailers", manyTrailers, "z", End::Failed},
        {"within the limit", "3\r\nabc\r\n1\r\nd\r\n0\r\n\r\n", "abcd", End::Complete, 4},
        {"a chunk past the limit, refused unread", "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", "abc", End::TooLarge, 4},
        {"a huge chunk past the limit", "fffffffffffffff\r\nabc", "", End::TooLarge, 1 << 20},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Pair pair;
        pair.sendAndEnd(row.wire);
        BodyStream body = BodyStream::chunked(*pair.stream);
        body.setLimit(row.limit);
        EXPECT_EQ(Drain(body), row.decoded);
        EXPECT_EQ(body.complete(), row.end == End::Complete);
        EXPECT_EQ(body.tooLarge(), row.end == End::TooLarge);
        EXPECT_FALSE(body.length());
    }
}

TEST(BodyStream, LengthFraming)
{
    struct Row {
        const char* what;
        uint64_t length;
        std::string wire;
        std::string read;
        End end;
        uint64_t limit = UINT64_MAX;
    };
    const std::vector<Row> rows{
        {"exactly the length", 5, "hello", "hello", End::Complete},
        {"what follows is not the body", 5, "hello world", "hello", End::Complete},
        {"no body", 0, "GET", "", End::Complete},
        {"ended early", 5, "hel", "hel", End::Failed},
        {"a length over the limit is refused unread", 5, "hello", "", End::TooLarge, 4},
        {"a length at the limit", 5, "hello", "hello", End::Complete, 5},
        {"a length no body reaches", UINT64_MAX, "hello", "hello", End::Failed},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Pair pair;
        pair.sendAndEnd(row.wire);
        BodyStream body = BodyStream::withLength(*pair.stream, row.length);
        body.setLimit(row.limit);
        EXPECT_EQ(Drain(body), row.read);
        EXPECT_EQ(body.complete(), row.end == End::Complete);
        EXPECT_EQ(body.tooLarge(), row.end == End::TooLarge);
        EXPECT_EQ(body.bytesRead(), row.read.size());
        EXPECT_EQ(body.length(), row.length);
    }
}

// Uploads take the body block by block: whole blocks, the last one short, and
// nothing of a block the body ends inside of; a refused write stops the reading.
TEST(BodyStream, CopyInBlocks)
{
    struct Row {
        const char* what;
        std::string wire;
        bool chunked;
        uint64_t length;
        size_t refuseBlock; // the writer refuses this block (1-based); 0: none
        std::vector<std::string> written;
        bool result;
        uint64_t bytesRead;
    };
    const std::vector<Row> rows{
        {"whole blocks and a short last one", "abcdefgh", false, 8, 0, {"abc", "def", "gh"}, true, 8},
        {"ends on a block edge", "abcdef", false, 6, 0, {"abc", "def"}, true, 6},
        {"empty body: no block", "", false, 0, 0, {}, true, 0},
        {"cut inside a block", "abcde", false, 8, 0, {"abc"}, false, 5},
        {"refused write stops reading", "abcdefgh", false, 8, 1, {"abc"}, false, 3},
        {"chunk edges are not block edges", "2\r\nab\r\n4\r\ncdef\r\n0\r\n\r\n", true, 0, 0, {"abc", "def"}, true,
         6},
        {"chunked cut", "2\r\nab\r\n4\r\ncd", true, 0, 0, {"abc"}, false, 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Pair pair;
        pair.sendAndEnd(row.wire);
        BodyStream body =
            row.chunked ? BodyStream::chunked(*pair.stream) : BodyStream::withLength(*pair.stream, row.length);
        std::vector<std::string> written;
        bool result = body.copyInBlocks(3, [&](const uint8_t* bytes, size_t size) {
            written.emplace_back(reinterpret_cast<const char*>(bytes), size);
            return written.size() != row.refuseBlock;
        });
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(written, row.written);
        EXPECT_EQ(body.bytesRead(), row.bytesRead);
    }
}

// A document is appended to what is held, a block at a time; a short block is
// whole only when it ends the body.
TEST(BodyStream, ReadNextAppends)
{
    Pair pair;
    pair.sendAndEnd("hello");
    BodyStream body = BodyStream::withLength(*pair.stream, 5);
    platform::ByteBuffer held{'>'};
    EXPECT_TRUE(body.readNext(held, 2));
    EXPECT_TRUE(body.readNext(held, 10));
    EXPECT_EQ(std::string(held.begin(), held.end()), ">hello");

    Pair cut;
    cut.sendAndEnd("hel");
    BodyStream shortBody = BodyStream::withLength(*cut.stream, 5);
    platform::ByteBuffer part;
    EXPECT_FALSE(shortBody.readNext(part, 10));
    EXPECT_EQ(std::string(part.begin(), part.end()), "hel");
}

// The hook runs before the stream first waits on the peer: a client holding its
// body back until it sees the interim answer gets it, and a body refused by its
// length never sends one.
TEST(BodyStream, BeforeFirstReadRunsOnceAndOnlyWhenTheBodyIsRead)
{
    Pair pair;
    std::thread client([&] {
        char seen[16] = {};
        if (::recv(pair.peer, seen, sizeof seen, 0) > 0 && std::string(seen) == "continue")
            pair.sendAndEnd("3\r\nabc\r\n0\r\n\r\n");
    });
    int runs = 0;
    BodyStream body = BodyStream::chunked(*pair.stream);
    body.setBeforeFirstRead([&] {
        ++runs;
        pair.stream->write("continue");
        pair.stream->flush();
    });
    EXPECT_EQ(Drain(body), "abc");
    EXPECT_TRUE(body.complete());
    EXPECT_EQ(runs, 1);
    client.join();

    Pair refused;
    refused.sendAndEnd("hello");
    BodyStream big = BodyStream::withLength(*refused.stream, 5);
    int called = 0;
    big.setBeforeFirstRead([&] { ++called; });
    big.setLimit(4);
    char buffer[8];
    EXPECT_EQ(big.read(buffer, sizeof buffer), 0u);
    EXPECT_EQ(called, 0) << "a body refused by its announced length is never asked for";
}

// A peer that stops, or that moves too slowly, fails the read instead of holding
// the stream; one that keeps up is read whole.
TEST(SocketStream, PaceAndDeadline)
{
    using namespace std::chrono_literals;
    {
        Pair stalled;
        testsupport::SendAll(stalled.peer, "0123456789");
        stalled.stream->setPace(200ms, 0, 10s);
        char buffer[100];
        EXPECT_EQ(stalled.stream->read(buffer, sizeof buffer), 10u);
        EXPECT_TRUE(stalled.stream->readEnded());
    }
    {
        // 100 bytes every 20 ms is 5 KB/s, under a floor of 16 KiB/s: given up after
        // the first window, long before the 5 seconds the peer would go on for.
        Pair crawling;
        std::atomic<bool> stop{false};
        std::thread peer([&] {
            for (int i = 0; i < 250 && !stop; ++i) {
                if (::send(crawling.peer, std::string(100, 'c').data(), 100, MSG_NOSIGNAL) != 100)
                    break;
                std::this_thread::sleep_for(20ms);
            }
        });
        crawling.stream->setPace(1s, 16 * 1024, 300ms);
        std::vector<char> buffer(25000);
        size_t got = crawling.stream->read(buffer.data(), buffer.size());
        stop = true;
        peer.join();
        EXPECT_LT(got, buffer.size());
        EXPECT_TRUE(crawling.stream->readEnded());
    }
    {
        Pair fast;
        std::string big(4 << 20, 'f');
        std::thread peer([&] { fast.sendAndEnd(big); });
        fast.stream->setPace(1s, 16 * 1024, 300ms);
        std::vector<char> buffer(big.size());
        EXPECT_EQ(fast.stream->read(buffer.data(), buffer.size()), big.size());
        peer.join();
    }
    {
        // An answer the peer does not read: the writes fail instead of waiting.
        Pair deaf;
        deaf.stream->setPace(200ms, 16 * 1024, 10s);
        std::string answer(8 << 20, 'a');
        deaf.stream->write(answer);
        deaf.stream->flush();
        EXPECT_TRUE(deaf.stream->writeFailed());
    }
    {
        // A line that does not end by the deadline is cut there; what arrived in
        // time is still read after it.
        Pair late;
        testsupport::SendAll(late.peer, "GET / HTTP/1.1\r\nHost:");
        late.stream->setDeadline(SocketStream::Clock::now() + 200ms);
        char line[64];
        EXPECT_EQ(late.stream->getLine(line, sizeof line), 16u);
        EXPECT_EQ(late.stream->getLine(line, sizeof line), 5u);
        EXPECT_STREQ(line, "Host:");
        EXPECT_TRUE(late.stream->readEnded());
    }
}
