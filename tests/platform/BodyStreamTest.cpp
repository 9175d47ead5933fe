// Request bodies as they arrive on a socket: chunked decoding, lengths, limits,
// the interim-answer hook, and the pace a peer is held to.

#include "platform/BodyStream.h"
#include "platform/SocketStream.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <sys/socket.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

using platform::BodyStream;
using platform::SocketStream;

namespace {

// The stream reads `ours`; the test writes as the peer.
struct Pair : testsupport::SocketPair {
    std::unique_ptr<SocketStream> stream = SocketStream::open(ours);
    ~Pair()
    {
        ::close(peer);
        stream->close();
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

// Chunked bodies, and bodies framed by their announced length.
TEST(BodyStream, Framing)
{
    struct Row {
        const char* what;
        std::string wire;
        std::string decoded;
        End end;
        uint64_t limit = UINT64_MAX;
        std::optional<uint64_t> length = std::nullopt; // none: chunked
    };
    const std::string longLine = "1;" + std::string(5000, 'x') + "\r\nz\r\n0\r\n\r\n";
    std::string manyTrailers = "1\r\nz\r\n0\r\n";
    for (int i = 0; i < 65; ++i)
        manyTrailers += "X-T: 1\r\n";
    const std::vector<Row> rows{
        {"extensions, upper-case hex", "A;name=\"v\"\r\n0123456789\r\n0;x\r\n\r\n", "0123456789", End::Complete},
        {"blank before the extension", "3 ;x\r\nabc\r\n0\r\n\r\n", "abc", End::Complete},
        {"bare line feeds", "3\nabc\n0\n\n", "abc", End::Complete},
        {"trailers dropped", "1\r\nz\r\n0\r\nX-T: 1\r\nX-U: 2\r\n\r\n", "z", End::Complete},
        {"empty body", "0\r\n\r\n", "", End::Complete},
        {"leading zeros", "0003\r\nabc\r\n00\r\n\r\n", "abc", End::Complete},
        {"cut before the last chunk", "3\r\nabc\r\n", "abc", End::Failed},
        {"cut inside the trailers", "3\r\nabc\r\n0\r\n", "abc", End::Failed},
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
        {"what follows the length is not the body", "hello world", "hello", End::Complete, UINT64_MAX, 5},
        {"a length over the limit, refused unread", "hello", "", End::TooLarge, 4, 5},
        {"a length at the limit", "hello", "hello", End::Complete, 5, 5},
        {"a length no body reaches", "hello", "hello", End::Failed, UINT64_MAX, UINT64_MAX},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Pair pair;
        pair.sendAndEnd(row.wire);
        BodyStream body = row.length ? BodyStream::withLength(*pair.stream, *row.length) : BodyStream::chunked(*pair.stream);
        body.setLimit(row.limit);
        EXPECT_EQ(Drain(body), row.decoded);
        EXPECT_EQ(body.complete(), row.end == End::Complete);
        EXPECT_EQ(body.tooLarge(), row.end == End::TooLarge);
        EXPECT_EQ(body.bytesRead(), row.decoded.size());
        EXPECT_EQ(body.length(), row.length);
    }
}


// A body refused by its announced length is never asked for: the interim answer
// that would invite it does not go out.
TEST(BodyStream, BeforeFirstReadNotRunForABodyRefusedByItsLength)
{
    Pair refused;
    refused.sendAndEnd("hello");
    BodyStream big = BodyStream::withLength(*refused.stream, 5);
    int called = 0;
    big.setBeforeFirstRead([&] { ++called; });
    big.setLimit(4);
    char buffer[8];
    EXPECT_EQ(big.read(buffer, sizeof buffer), 0u);
    EXPECT_TRUE(big.tooLarge());
    EXPECT_EQ(called, 0);
}

// A peer that stops, or that moves too slowly, fails the read instead of holding
// the stream; one that keeps up is read whole.
TEST(SocketStream, SlowPeersFailTheirReadsAndWrites)
{
    using namespace std::chrono_literals;
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
        // An answer the peer does not read: the writes fail instead of waiting.
        Pair deaf;
        deaf.stream->setPace(200ms, 16 * 1024, 10s);
        deaf.stream->write(std::string(8 << 20, 'a'));
        deaf.stream->flush();
        EXPECT_TRUE(deaf.stream->writeFailed());
    }
}

// A body handed on in blocks: whole blocks of the size asked for, a shorter last
// one only when the body arrived whole, and after a body broke off only the whole
// blocks that came before the break (several are read from the socket at once).
TEST(BodyStream, CopiesWholeBlocksOnly)
{
    constexpr size_t kBlock = 65536;
    const std::string body = testsupport::RandomBytes(6 * kBlock + 10, 3);
    for (auto [announced, sent, blocks, whole] : std::vector<std::tuple<size_t, size_t, size_t, bool>>{
             {0, 0, 0, true},
             {1, 1, 1, true},
             {4 * kBlock, 4 * kBlock, 4, true},
             {6 * kBlock + 10, 6 * kBlock + 10, 7, true},
             {6 * kBlock + 10, 5 * kBlock + 100, 5, false},
             {2 * kBlock, kBlock + 1, 1, false},
             {kBlock, 100, 0, false}}) {
        SCOPED_TRACE(testing::Message() << sent << " of " << announced);
        Pair pair;
        std::thread peer([&, sent = sent] { pair.sendAndEnd(body.substr(0, sent)); });
        auto stream = BodyStream::withLength(*pair.stream, announced);
        std::string written;
        std::vector<size_t> sizes;
        bool complete = stream.copyInBlocks(kBlock, [&](const uint8_t* bytes, size_t size) {
            written.append(reinterpret_cast<const char*>(bytes), size);
            sizes.push_back(size);
            return true;
        });
        peer.join();
        EXPECT_EQ(complete, whole);
        ASSERT_EQ(sizes.size(), blocks);
        for (size_t i = 0; i + 1 < sizes.size(); ++i)
            EXPECT_EQ(sizes[i], kBlock);
        EXPECT_TRUE(written == body.substr(0, whole ? announced : blocks * kBlock)) << written.size();
    }
}

// A file's bytes go out after what is buffered, from the file's position to its
// end; a peer that does not read fails the send in time rather than holding it.
TEST(SocketStream, SendsFilesAfterTheBufferedHead)
{
    using namespace std::chrono_literals;
    const std::string contents = testsupport::RandomBytes(8 << 20, 7);
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(contents.data(), 1, contents.size(), file), contents.size());
    std::fflush(file);
    const int fd = ::fileno(file);
    {
        Pair pair;
        std::string received;
        std::thread peer([&] { received = testsupport::ReadUntilClose(pair.peer); });
        ::lseek(fd, 10, SEEK_SET);
        pair.stream->write("head:");
        EXPECT_EQ(pair.stream->sendFile(fd, contents.size()), contents.size() - 10) << "stops at the file's end";
        EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), static_cast<off_t>(contents.size()));
        pair.stream->close(true);
        peer.join();
        EXPECT_TRUE(received == "head:" + contents.substr(10)) << received.size() << " bytes received";
    }
    {
        Pair deaf;
        deaf.stream->setPace(200ms, 16 * 1024, 10s);
        ::lseek(fd, 0, SEEK_SET);
        EXPECT_LT(deaf.stream->sendFile(fd, contents.size()), contents.size());
        EXPECT_TRUE(deaf.stream->writeFailed());
    }
    std::fclose(file);
}

// Lines as fgets reads them: up to and with the line feed, cut at the capacity,
// NUL bytes kept, and a line split between two arrivals read whole.
TEST(SocketStream, ReadsLinesAsFgetsDoes)
{
    using Reads = std::vector<std::pair<int, std::string>>; // capacity, line read
    for (const auto& [first, second, reads] : std::vector<std::tuple<std::string, std::string, Reads>>{
             {"GET / HTTP/1.1\r\nHo", "st: a\r\n\r\n", {{64, "GET / HTTP/1.1\r\n"}, {64, "Host: a\r\n"}, {64, "\r\n"}}},
             {"abcdef", "gh\n", {{4, "abc"}, {4, "def"}, {4, "gh\n"}, {4, ""}}},
             {"abc\n", "", {{5, "abc\n"}, {5, ""}}},
             {"abc", "d\n", {{4, "abc"}, {2, "d"}, {2, "\n"}}},
             {std::string("a\0b\n", 4), "no end", {{64, std::string("a\0b\n", 4)}, {64, "no end"}, {64, ""}}},
             {"x\n", "y\n", {{1, ""}, {64, "x\n"}, {64, "y\n"}}},
         }) {
        SCOPED_TRACE(first);
        Pair pair;
        // A reader that misses a line's end waits for more: it fails instead of hanging.
        pair.stream->setDeadline(SocketStream::Clock::now() + std::chrono::seconds(2));
        ASSERT_EQ(::write(pair.peer, first.data(), first.size()), static_cast<ssize_t>(first.size()));
        char line[64];
        for (size_t i = 0; i < reads.size(); ++i) {
            // The second part arrives once the first has been read up to it.
            if (i == 1)
                pair.sendAndEnd(second);
            const auto& [capacity, expected] = reads[i];
            size_t length = pair.stream->getLine(line, capacity);
            EXPECT_EQ(std::string(line, length), expected) << i;
            EXPECT_EQ(line[length], '\0') << i;
        }
    }
}
