// Our HTTP server against Node's (its default, strict parser), fed the same
// bytes: hand-written requests, faults that two parsers could read two ways,
// mutations of the requests, and pipelined pairs. For every input, ours
// either refuses it, or both read the same requests: as many, and each with
// the same method, target, headers and body. Exits 77 (skipped) without node.
#include <http_server/async_http_server.hpp>
#include <devrouter/loopback_socket.hpp>

#include "support/test_data.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace ossara::testing {
namespace {

namespace hs = ossara::http_server;
using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

struct Input {
    std::string what;
    std::string bytes;
};

// One request as a parser read it; headers as name, value, name, value...
struct Seen {
    std::string method, target;
    std::vector<std::string> headers;
    std::string body;
    bool operator==(const Seen&) const = default;
};

struct Reading {
    std::vector<Seen> requests;  // those read whole
    bool refused = false;        // answered 4xx or 5xx by the parser's side itself
};

// Requests both parsers must read, whole and alike.
std::vector<std::string> valid_requests() {
    return {
        "GET /v1/models HTTP/1.1\r\nHost: 127.0.0.1:8088\r\nAccept: */*\r\nUser-Agent: t/1.0\r\n\r\n",
        "POST /v1/chat/completions HTTP/1.1\r\nHost: a\r\nContent-Type: application/json\r\nContent-Length: 13\r\n\r\n"
        "{\"a\":\"hello\"}",
        "POST /c HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n6\r\n world\r\n0\r\n"
        "Trailer-A: x\r\n\r\n",
        "GET /a?b=c&d=%20&e=[1] HTTP/1.1\r\nHost: x\r\nX-Empty:\r\nX-Tab:\tv w\t\r\n\r\n",
        "GET / HTTP/1.0\r\n\r\n",
        "GET /keep HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
        "HEAD /h HTTP/1.1\r\nHost: a\r\n\r\n",
        "DELETE /d/1 HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n",
        "OPTIONS /v1/chat/completions HTTP/1.1\r\nHost: a\r\nOrigin: http://o\r\n\r\n",
        "PUT /e HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\nbody",
        "GET /o HTTP/1.1\r\nHost: a\r\nX-Text: \xc3\xa9t\xc3\xa9 ok\r\n\r\n",
        "GET /close HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n",
        "GET /twice HTTP/1.1\r\nHost: a\r\nX-A: 1\r\nx-a: 2\r\n\r\n",
        "POST /hex HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: Chunked\r\n\r\n0000A\r\n0123456789\r\n00\r\n\r\n",
        "PUT /zeros HTTP/1.1\r\nHost: a\r\nContent-Length: 005\r\n\r\nabcde",
        "GET /long HTTP/1.1\r\nHost: a\r\nX-Long: " + std::string(1000, 'v') + "\r\n\r\n",
        "GET /with-body HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\nhi",
        "PATCH /p HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\n\r\n!",
        "GET /\"<>\\^`{|}~!$&'()*+,;=:@ HTTP/1.1\r\nHost: a\r\n\r\n",
        "POST /q HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n3;name=\"quoted \\\" value\"\r\nabc\r\n0\r\n\r\n",
    };
}

// Faults: each is refused by ours, or read alike by both.
std::vector<Input> faults() {
    const std::string post = "POST /f HTTP/1.1\r\nHost: a\r\n";
    const std::string chunked = post + "Transfer-Encoding: chunked\r\n\r\n";
    return {
        {"bare LF after the request line", "GET / HTTP/1.1\nHost: a\r\n\r\n"},
        {"bare LF ending the head", "GET / HTTP/1.1\r\nHost: a\n\n"},
        {"bare LF in a value", "GET / HTTP/1.1\r\nHost: a\r\nX: a\nY: b\r\n\r\n"},
        {"bare CR in a value", "GET / HTTP/1.1\r\nHost: a\r\nX: a\rY: b\r\n\r\n"},
        {"bare LF in a chunk line", chunked + "6;\nab\r\nabcdef\r\n0\r\n\r\nGET /hidden HTTP/1.1\r\nHost: a\r\n\r\n"},
        {"bare LF after chunk data", chunked + "2\r\nab\n0\r\n\r\n"},
        {"bare LF in a trailer", chunked + "0\r\nT: x\nGET /hidden HTTP/1.1\r\nHost: a\r\n\r\n"},
        {"space in a chunk line", chunked + "2 ;a=b\r\nab\r\n0\r\n\r\n"},
        {"chunk size overflow", chunked + "10000000000000001\r\na\r\n0\r\n\r\n"},
        {"NUL in a value", "GET / HTTP/1.1\r\nHost: a\r\nX: a\0b\r\n\r\n"s},
        {"control byte in a value", "GET / HTTP/1.1\r\nHost: a\r\nX: a\x01z\r\n\r\n"},
        {"DEL in a value", "GET / HTTP/1.1\r\nHost: a\r\nX: a\x7fz\r\n\r\n"},
        {"no Host", "GET / HTTP/1.1\r\nX: y\r\n\r\n"},
        {"two Hosts", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n"},
        {"a coding before chunked", post + "Transfer-Encoding: gzip, chunked\r\n\r\n1\r\na\r\n0\r\n\r\n"},
        {"chunked not last", post + "Transfer-Encoding: chunked, gzip\r\n\r\n1\r\na\r\n0\r\n\r\n"},
        {"chunked on two lines", post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
        {"codings on two lines", post + "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
        {"identity", post + "Transfer-Encoding: identity\r\nContent-Length: 1\r\n\r\na"},
        {"length and chunked", post + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
        {"empty coding", post + "Transfer-Encoding: , chunked\r\n\r\n0\r\n\r\n"},
        {"two equal lengths", post + "Content-Length: 1\r\nContent-Length: 1\r\n\r\na"},
        {"two lengths", post + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab"},
        {"length list", post + "Content-Length: 1, 1\r\n\r\na"},
        {"signed length", post + "Content-Length: +1\r\n\r\na"},
        {"negative length", post + "Content-Length: -1\r\n\r\na"},
        {"length with a space inside", post + "Content-Length: 1 1\r\n\r\na"},
        {"huge length", post + "Content-Length: 99999999999999999999\r\n\r\na"},
        {"HTTP/1.2", "GET / HTTP/1.2\r\nHost: a\r\n\r\n"},
        {"HTTP/2.0", "GET / HTTP/2.0\r\nHost: a\r\n\r\n"},
        {"version in lower case", "GET / http/1.1\r\nHost: a\r\n\r\n"},
        {"no version", "GET /\r\nHost: a\r\n\r\n"},
        {"method in lower case", "get / HTTP/1.1\r\nHost: a\r\n\r\n"},
        {"unknown method", "BREW / HTTP/1.1\r\nHost: a\r\n\r\n"},
        {"CONNECT", "CONNECT a:443 HTTP/1.1\r\nHost: a:443\r\n\r\n"},
        {"absolute target", "GET http://a/ HTTP/1.1\r\nHost: a\r\n\r\n"},
        {"asterisk target", "OPTIONS * HTTP/1.1\r\nHost: a\r\n\r\n"},
        {"byte over 0x7f in the target", "GET /\xc3\xa9 HTTP/1.1\r\nHost: a\r\n\r\n"},
        {"tab in the target", "GET /a\tb HTTP/1.1\r\nHost: a\r\n\r\n"},
        {"folded line", "GET / HTTP/1.1\r\nHost: a\r\nX: a\r\n b\r\n\r\n"},
        {"space before a colon", "GET / HTTP/1.1\r\nHost : a\r\n\r\n"},
        {"empty name", "GET / HTTP/1.1\r\nHost: a\r\n: x\r\n\r\n"},
        {"name not a token", "GET / HTTP/1.1\r\nHost: a\r\nX(y): z\r\n\r\n"},
        {"double space", "GET  / HTTP/1.1\r\nHost: a\r\n\r\n"},
        {"empty line first", "\r\nGET / HTTP/1.1\r\nHost: a\r\n\r\n"},
        {"close in a list", "GET / HTTP/1.1\r\nHost: a\r\nConnection: keep-alive, close\r\n\r\nGET /hidden HTTP/1.1\r\nHost: a\r\n\r\n"},
        {"chunked in HTTP/1.0", "POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
        {"cut chunked body", chunked + "5\r\nab"},
        {"cut head", "GET / HTTP/1.1\r\nHost: a\r\n"},
    };
}

// Deterministic mutations of the valid requests: a byte that matters to
// HTTP inserted, replaced or deleted, a line doubled.
std::vector<Input> mutations(const std::vector<std::string>& requests, int per_request) {
    static constexpr char kBytes[] = {'\r', '\n', '\0', '\t', ' ', ':', ';', ',', '"', '\x7f', '\x80', '0', 'a', '\\', 'F'};
    std::mt19937 random(20261209);
    const auto pick = [&random](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    std::vector<Input> out;
    for (std::size_t r = 0; r < requests.size(); ++r) {
        for (int i = 0; i < per_request; ++i) {
            std::string bytes = requests[r];
            const std::size_t at = pick(bytes.size());
            const char byte = kBytes[pick(sizeof kBytes)];
            std::string how;
            switch (pick(4)) {
                case 0: bytes.insert(at, 1, byte), how = "insert"; break;
                case 1: bytes[at] = byte, how = "replace"; break;
                case 2: bytes.erase(at, 1), how = "delete"; break;
                default: {
                    const std::size_t start = bytes.rfind("\r\n", at);
                    const std::size_t end = bytes.find("\r\n", at);
                    if (start == std::string::npos || end == std::string::npos) continue;
                    bytes.insert(end, bytes.substr(start, end - start));
                    how = "double a line";
                }
            }
            out.push_back({"mutation of request " + std::to_string(r) + ": " + how + " at " + std::to_string(at), bytes});
        }
    }
    return out;
}

std::vector<Input> corpus() {
    const std::vector<std::string> valid = valid_requests();
    std::vector<Input> all;
    for (std::size_t i = 0; i < valid.size(); ++i) all.push_back({"request " + std::to_string(i), valid[i]});
    const std::vector<Input> faulty = faults();
    all.insert(all.end(), faulty.begin(), faulty.end());
    const std::vector<Input> mutated = mutations(valid, 8);
    all.insert(all.end(), mutated.begin(), mutated.end());
    // Pipelined: two requests, and a request followed by a fault.
    for (std::size_t i = 0; i < valid.size(); ++i) {
        const std::size_t j = (i * 7 + 3) % valid.size();
        all.push_back({"requests " + std::to_string(i) + " and " + std::to_string(j), valid[i] + valid[j]});
        const Input& fault = faulty[(i * 5) % faulty.size()];
        all.push_back({"request " + std::to_string(i) + ", then " + fault.what, valid[i] + fault.bytes});
    }
    return all;
}

std::string hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        out += kDigits[static_cast<unsigned char>(c) >> 4];
        out += kDigits[static_cast<unsigned char>(c) & 15];
    }
    return out;
}

std::string unhex(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) out += static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
    return out;
}

// What Node's server read of each input.
std::vector<Reading> node_readings(const std::vector<Input>& inputs) {
    const TempDir dir;
    nlohmann::json corpus = nlohmann::json::array();
    for (const Input& input : inputs) corpus.push_back(hex(input.bytes));
    std::ofstream(dir.path() / "corpus.json") << corpus.dump();
    const std::string command = "node \"" NODE_HTTP_PEER "\" \"" + (dir.path() / "corpus.json").string() + "\" \"" +
                                (dir.path() / "out.json").string() + "\"";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("the Node peer failed: " + command);
    std::ifstream out(dir.path() / "out.json");
    const nlohmann::json results = nlohmann::json::parse(out);
    std::vector<Reading> readings;
    for (const auto& result : results) {
        Reading reading;
        reading.refused = !result["error"].is_null();
        for (const auto& request : result["requests"]) {
            Seen seen{unhex(request["method"].get<std::string>()), unhex(request["url"].get<std::string>()), {},
                      unhex(request["body"].get<std::string>())};
            for (const auto& field : request["rawHeaders"]) seen.headers.push_back(unhex(field.get<std::string>()));
            reading.requests.push_back(std::move(seen));
        }
        readings.push_back(std::move(reading));
    }
    return readings;
}

// What our server read of each input, each on a connection of its own.
std::vector<Reading> our_readings(const std::vector<Input>& inputs) {
    std::mutex mutex;
    std::map<std::string, Reading> by_peer;
    hs::ServerOptions options;
    options.threads = 1;
    options.limits.head_timeout = 3s;
    options.limits.body_timeout = 3s;
    options.handlers.on_request = [&](hs::HttpRequest& req) -> asio::awaitable<hs::HttpResponse> {
        Seen seen{req.method, req.target, {}, req.body};
        for (const auto& [name, value] : req.headers) seen.headers.insert(seen.headers.end(), {name, value});
        {
            const std::lock_guard lock(mutex);
            by_peer[req.remote].requests.push_back(std::move(seen));
        }
        hs::HttpResponse res;
        res.set_content("ok", "text/plain");
        co_return res;
    };
    options.handlers.on_notice = [&](const hs::ServerNotice& notice) {
        const std::lock_guard lock(mutex);
        if (notice.status >= 400) by_peer[notice.remote].refused = true;
    };
    hs::AsyncHttpServer server(std::move(options));
    const int port = server.listen("127.0.0.1", 0);

    std::vector<Reading> readings;
    for (const Input& input : inputs) {
        const auto s = devrouter::LoopbackSocket::connect_to(port);
        s.send_all(input.bytes);
        ::shutdown(s.native(), SHUT_WR);
        // Done when the server has closed its end.
        char buffer[4096];
        const auto until = Clock::now() + 5s;
        while (Clock::now() < until)
            if (s.wait_readable(100) && s.receive(buffer, sizeof buffer) <= 0) break;
        const std::lock_guard lock(mutex);
        readings.push_back(by_peer["127.0.0.1:" + std::to_string(s.local_port())]);
    }
    server.stop();
    return readings;
}

std::string shown(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (u < 0x20 || u >= 0x7f) out += "\\x" + hex(std::string_view(&c, 1));
        else out += c;
    }
    return out;
}

std::string shown(const std::vector<Seen>& requests) {
    std::string out;
    for (const Seen& seen : requests) {
        out += "  " + shown(seen.method) + " " + shown(seen.target) + " [";
        for (const auto& field : seen.headers) out += shown(field) + "|";
        out += "] body '" + shown(seen.body) + "'\n";
    }
    return out.empty() ? "  (none)\n" : out;
}

TEST(HttpDifferential, OursRefusesOrReadsWhatNodeReads) {
    const std::vector<Input> inputs = corpus();
    ASSERT_GE(inputs.size(), 200u);
    const std::vector<Reading> node = node_readings(inputs);
    const std::vector<Reading> ours = our_readings(inputs);
    ASSERT_EQ(node.size(), inputs.size());
    ASSERT_EQ(ours.size(), inputs.size());

    int agreed = 0, refused_by_ours = 0, refused_by_node_only = 0;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        // A refusal may come after requests ours read whole: those must agree too.
        const std::vector<Seen>& mine = ours[i].requests;
        const bool same = ours[i].refused
                              ? mine.size() <= node[i].requests.size() &&
                                    std::equal(mine.begin(), mine.end(), node[i].requests.begin())
                              : mine == node[i].requests;
        EXPECT_TRUE(same) << inputs[i].what << "\n  input: " << shown(inputs[i].bytes) << "\n ours"
                          << (ours[i].refused ? " (then refused)" : "") << ":\n"
                          << shown(mine) << " Node's" << (node[i].refused ? " (then refused)" : "") << ":\n"
                          << shown(node[i].requests);
        if (ours[i].refused) ++refused_by_ours;
        else if (!mine.empty()) ++agreed;
        if (node[i].refused && !ours[i].refused) ++refused_by_node_only;
        if (std::getenv("SHOW_STRICTER") && ours[i].refused && !node[i].refused && !node[i].requests.empty())
            std::printf("stricter: %s: %s\n", inputs[i].what.c_str(), shown(inputs[i].bytes).c_str());
    }
    std::printf("%zu inputs: %d read alike, %d refused by ours, %d refused by Node alone\n", inputs.size(), agreed,
                refused_by_ours, refused_by_node_only);
    // Refusing everything would pass the comparison; the valid requests must be read.
    EXPECT_GE(agreed, static_cast<int>(valid_requests().size()));
}

}  // namespace
}  // namespace ossara::testing

int main(int argc, char** argv) {
    if (std::system("node --version > /dev/null 2>&1") != 0) {
        std::puts("node is not installed: skipped");
        return 77;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
