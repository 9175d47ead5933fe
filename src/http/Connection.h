#pragma once

#include "datasource/DataSource.h"
#include "http/ConnectionLimits.h"
#include "http/MimeTools.h"
#include "platform/BodyStream.h"
#include "platform/SocketStream.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

// The path of a request target: an absolute-form target ("scheme://host/path")
// reduced to its path ("/" when it has none); any other target as it is.
std::string TargetPath(const std::string& target);

// One accepted client socket of the WebDAV server: reads exactly one request,
// hands it to the method handler named "do" + the method token, writes the
// answer and closes the socket. The request side lives in Connection.cpp, the
// response writers in ConnectionResponse.cpp, the method handlers in src/dav/.
class Connection : public LineReader {
public:
    using MethodHandler = std::function<void(Connection&)>;
    using MethodTable = std::map<std::string, MethodHandler>;
    using HeaderMap = std::map<std::string, std::string>;

    // Serves `dataSource` to the client on `fd`, within `limits` counted from
    // `acceptedAt`, when the client was accepted.
    Connection(int fd, std::shared_ptr<DataSource> dataSource, ConnectionLimits limits = {},
               std::chrono::steady_clock::time_point acceptedAt = std::chrono::steady_clock::now());
    ~Connection() override;

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Serves the connection (one request) and closes it.
    Connection& Handler();
    // Reads, parses and dispatches one request; whether to read another (never).
    bool handleRequest();

    // fgets on the client stream, then a CR LF ending cut off (a bare LF stays).
    // False at the end of the stream.
    bool readLine(char* buffer, int maxLength);
    // The header parser's line source: a line of up to 1023 bytes, none at the end.
    std::optional<std::string> readLine() override;
    // Splits the request line in place and reads the header block. Always true.
    bool parseRequest(char* request);
    Connection& logRequest();

    // The Depth header as sent (leading blank included), or "infinity".
    std::string getDepth();
    // The request body (by its Content-Length, or decoded when chunked): empty
    // without one, null when the client sent fewer bytes or more than the daemon
    // holds (bodyTooLarge). Call at most once, after the headers.
    DataSource::DataPtr body();
    std::string bodyAsString();
    bool bodyTooLarge() const { return requestBody_ && requestBody_->tooLarge(); }
    // The target without its query part; percent escapes stay as they are.
    std::string urlUnquote(const std::string& url);
    static std::string baseURI();

    // --- response writers (ConnectionResponse.cpp) ---
    Connection& sendResponse(int code, const char* message);
    Connection& sendResponse(int code);
    static const char* messageFromCode(int code);
    Connection& sendHeader(const char* name, const char* value);
    Connection& endHeaders();
    Connection& sendError(int code, const char* message);
    Connection& sendStatus(int code);
    // `headers` may be null; `description` is accepted and written nowhere.
    Connection& sendBody(const DataSource::DataPtr& body, int code, const char* message, const char* description,
                         const char* contentType, const HeaderMap* headers);
    Connection& sendBody(const DataSource::DataPtr& body, int code, const char* message, const char* description);
    Connection& sendBodyChunks(const std::string& body, int code, const char* message, const char* description,
                               const char* ctype);
    Connection& sendBodyChunks(const std::string& body, int code, const char* message, const char* description);
    // The same with a text body, sent as its bytes without another copy; the type
    // defaults to the document type of the other forms.
    Connection& sendText(const std::string& body, int code, const char* message, const char* description,
                         const char* contentType = nullptr, const HeaderMap* headers = nullptr);
    // A response whose body is sent from an open file in pieces, never held whole.
    Connection& sendBody(const DataSource::DataFile& file, int code, const char* message, const char* description,
                         const char* contentType, const HeaderMap* headers);
    Connection& notFound(const std::string& uri);
    Connection& resourceBusy(const std::string& uri);
    // A status-only answer refusing a request that must not run; codes the reason
    // table lacks (413, 414, 431) get their standard texts.
    Connection& sendRefusal(int code);
    // The interim answer a client that sent "Expect: 100-continue" waits for.
    Connection& sendContinue();
    static std::string formatDate(std::chrono::system_clock::time_point date);

    // --- method handlers (src/dav/) ---
    void doOPTIONS();
    void doGET();
    void doPUT();
    void doDELETE();
    void doMKCOL();
    void doMOVE();
    void doLOCK();
    void doUNLOCK();
    void doPROPFIND();
    // Answered in the standard answers only (src/dav/Standard*.cpp); 501 otherwise.
    void doHEAD();
    void doCOPY();
    void doPROPPATCH();
    std::string getLockResponse(const std::string& body);

    // The handlers of the most-derived class by name ("doGET" ...); a subclass
    // overrides this with its base's table plus its own entries.
    virtual const MethodTable& methodHandlers() const;
    static const MethodTable& classMethodHandlers();

protected:
    // Shared steps of the method handlers.
    std::string requestURI();
    // A status line with the standard headers and no body.
    void sendStatusOnly(int code);
    // The head of an answer with a body of `length` bytes: status, standard headers,
    // `headers` in their order, the type and the length.
    // A body's bytes after its head, and their debug lines.
    void writeBodyBytes(const void* bytes, size_t size);
    void sendBodyHead(int code, const char* message, const char* contentType, const HeaderMap* headers,
                      uint64_t length);
    // The URI a change request (PUT, DELETE, MKCOL, MOVE) works on, or none when it
    // must not run: its head did not arrive whole, or its path is not text. The
    // refusal has been sent then.
    std::optional<std::string> changeTarget();
    // The body of a PUT as a stream for the store, or none (the refusal sent) when
    // its framing says it cannot be stored whole.
    platform::BodyStream* uploadBody();
    // The body stream by the request's framing (chunked, else Content-Length read
    // as digits after blanks, 0 when absent); none for a negative length.
    platform::BodyStream* requestBody();
    // The status refusing a change whose head did not arrive whole, if any.
    std::optional<int> headRefusal() const;
    // Whether everything the client announced has been read: a whole head and
    // no body, or the whole body.
    bool inputConsumed() const;
    bool debugging() const;

    // --- the standard answers (src/dav/Standard*.cpp) ---
    // A status line with a standard reason and no body.
    void sendStandardStatus(int code);
    // MOVE or COPY with their Overwrite and Depth rules.
    void standardMoveOrCopy(bool copy);
    void standardDELETE();
    void standardMKCOL();
    // A folder's members as an HTML page; false when the URI is no folder.
    bool sendFolderIndex(const std::string& uri);
    // The status refusing a change of `uri` (and, for `deep`, of anything below
    // it) that a lock holds and the request's If header does not name; none when
    // the change may go ahead.
    std::optional<int> lockRefusal(const std::string& uri, bool deep);
    // The decoded path of the Destination header, or none.
    std::optional<std::string> destinationURI();
    // Why a PUT must not run: its folder is missing (409) or a lock holds it.
    std::optional<int> standardPutRefusal(const std::string& uri);
    void standardLOCK(const std::string& body);
    void standardUNLOCK();
    // Whether a path may name something a change makes (its bytes are text).
    static bool changeTargetIsText(const std::string& uri);

    std::unique_ptr<platform::SocketStream> clientFile;
    int fd;
    char* command = nullptr;
    char* path = nullptr;
    char* requestVersion = nullptr;
    char requestLine[1024] = {};
    const char* protocolVersion;
    const char* versionString;
    std::unique_ptr<MimeTools> headers;
    std::shared_ptr<DataSource> dataSource;
    bool connectionWillClose = false;
    bool served = false; // Handler has run: the stream owns the socket
    bool headOnly = false; // HEAD: every answer goes out without its body

    ConnectionLimits limits;
    std::chrono::steady_clock::time_point acceptedAt;
    bool lastLineCut = false;    // the last line read filled its buffer without ending
    bool requestLineCut = false; // the request line did not end within its 1023 bytes
    bool headerLineCut = false;  // nor did some header line
    bool lastLineBroken = false;   // the last line read held a NUL or did not end
    bool headerLineBroken = false; // so did the request line or some header line
    size_t headLinesRead = 0;      // lines of the head read so far, request line included
    size_t headBytesRead = 0;      // and their bytes
    bool headTooLarge = false;     // the head went past a limit and was read no further
    int answeredStatus = 0;        // the status of the answer sent, 0 before one
    std::optional<platform::BodyStream> requestBody_;
};
