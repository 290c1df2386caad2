// The server's parsing rules on their own: ranges, targets, options, log lines.
#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>

#include "ByteRange.h"
#include "RequestHead.h"
#include "RequestLog.h"
#include "RequestTarget.h"
#include "ServerOptions.h"
#include "tests/integration/server/ServerTestSupport.h"

namespace UpdateSrv {
namespace {

using Kind = ByteRange::Kind;

TEST(Logic, ByteRanges) {
    struct Case {
        const char* header;
        std::uint64_t size;
        Kind kind;
        std::uint64_t first, last;
    };
    const std::uint64_t big = 5ULL << 30;
    for (const Case& c : {
             Case{"bytes=0-", 10, Kind::Part, 0, 9},
             Case{"bytes=4-", 10, Kind::Part, 4, 9},
             Case{"bytes=9-", 10, Kind::Part, 9, 9},
             Case{"bytes=10-", 10, Kind::Unsatisfiable, 0, 0},
             Case{"bytes=0-", 0, Kind::Unsatisfiable, 0, 0},
             Case{"bytes=2-5", 10, Kind::Part, 2, 5},
             Case{"bytes=2-50", 10, Kind::Part, 2, 9},
             Case{"bytes=5-2", 10, Kind::Whole, 0, 0},
             Case{"bytes=-3", 10, Kind::Part, 7, 9},
             Case{"bytes=-30", 10, Kind::Part, 0, 9},
             Case{"bytes=-0", 10, Kind::Unsatisfiable, 0, 0},
             Case{"Bytes=3-", 10, Kind::Part, 3, 9},
             Case{"bytes=1-2,4-5", 10, Kind::Whole, 0, 0},
             Case{"bytes=-", 10, Kind::Whole, 0, 0},
             Case{"bytes=x-", 10, Kind::Whole, 0, 0},
             Case{"items=1-", 10, Kind::Whole, 0, 0},
             Case{"", 10, Kind::Whole, 0, 0},
             // Beyond 32 bits, and numbers too long for 64 bits.
             Case{"bytes=5368709000-", big, Kind::Part, 5368709000ULL, big - 1},
             Case{"bytes=99999999999999999999999-", big, Kind::Unsatisfiable, 0, 0},
             Case{"bytes=0-99999999999999999999999", big, Kind::Part, 0, big - 1},
         }) {
        ByteRange r = ParseByteRange(c.header, c.size);
        EXPECT_EQ(r.kind, c.kind) << c.header << " of " << c.size;
        if (c.kind == Kind::Part) {
            EXPECT_EQ(r.first, c.first) << c.header;
            EXPECT_EQ(r.last, c.last) << c.header;
        }
    }
}

TEST(Logic, RequestHeads) {
    struct Case {
        const char* buffer;
        size_t end;
    };
    const size_t none = std::string::npos;
    for (const Case& c : {
             Case{"GET / HTTP/1.1\r\nHost: x\r\n\r\n", 27},
             Case{"GET / HTTP/1.1\r\n\r\nGET /next", 18},
             Case{"GET / HTTP/1.1\nHost: x\n\n", 24},
             Case{"GET / HTTP/1.1\r\nHost: x\r\n", none},
             Case{"GET / HTTP/1.1\r\nHost: x\r\n\r", none},
             Case{"GET / HTTP/1.1", none},
         }) {
        EXPECT_EQ(HeadEnd(c.buffer), c.end) << c.buffer;
    }

    struct Taken {
        const char* head;
        std::optional<std::string> range;
        const char* rest;
    };
    for (const Taken& t : {
             Taken{"GET / HTTP/1.1\r\nRange: bytes=1-\r\nHost: x\r\n\r\n", "bytes=1-",
                   "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
             Taken{"GET / HTTP/1.1\r\nrAnGe:\tbytes=abc \r\nRange: bytes=2-\r\n\r\n", "bytes=abc",
                   "GET / HTTP/1.1\r\n\r\n"},
             Taken{"GET / HTTP/1.1\nRange:\n\n", "", "GET / HTTP/1.1\n\n"},
             Taken{"GET / HTTP/1.1\r\nX-Range: 1\r\nRanges: 2\r\n\r\n", std::nullopt,
                   "GET / HTTP/1.1\r\nX-Range: 1\r\nRanges: 2\r\n\r\n"},
         }) {
        std::string head = t.head;
        EXPECT_EQ(TakeRangeField(head), t.range) << t.head;
        EXPECT_EQ(head, t.rest);
    }
}

TEST(Logic, RequestTargets) {
    RequestTarget t;
    ASSERT_EQ(ParseRequestTarget("/updates/2007/win/fed/1/ver.txt?x=1#f", t), TargetResult::Ok);
    EXPECT_FALSE(t.proxyRequest);
    EXPECT_EQ(t.path, "/updates/2007/win/fed/1/ver.txt");
    EXPECT_EQ(t.segments.size(), 6u);

    ASSERT_EQ(ParseRequestTarget("HTTP://Host.example:81//a/./b%20c/", t), TargetResult::Ok);
    EXPECT_TRUE(t.proxyRequest);
    EXPECT_EQ(t.path, "/a/b c");
    ASSERT_EQ(ParseRequestTarget("http://host.example", t), TargetResult::Ok);
    EXPECT_EQ(t.path, "/");
    ASSERT_EQ(ParseRequestTarget("http://host.example?q", t), TargetResult::Ok);
    EXPECT_EQ(t.path, "/");
    ASSERT_EQ(ParseRequestTarget("/a%2Fb", t), TargetResult::Ok);  // decoded slash splits
    EXPECT_EQ(t.segments, (std::vector<std::string>{"a", "b"}));
    ASSERT_EQ(ParseRequestTarget("/...", t), TargetResult::Ok);  // a plain file name
    EXPECT_EQ(t.path, "/...");

    for (const char* bad : {"", "*", "ver.txt", "host:80", "http:///x", "/..", "/a/../b",
                            "/a/%2e%2E/b", "/a%2F..%2Fb", "/%", "/%4", "/%g0", "/a%00"}) {
        EXPECT_EQ(ParseRequestTarget(bad, t), TargetResult::BadRequest) << bad;
    }
}

TEST(Logic, Options) {
    ServerTest::TempDir dir;
    std::string error;
    ServerOptions o;
    ASSERT_EQ(ParseOptions({"srv", "--root", dir.Path() + "/./", "--bind=0.0.0.0", "--port", "8080",
                            "--log", "l", "--throttle", "100", "--stall-after=0", "--drop-after",
                            "7", "--ignore-range", "--status", "/a/./b=503", "--status", "/c=200"},
                           o, error),
              ParseResult::Run)
        << error;
    EXPECT_EQ(o.root, dir.Path());
    EXPECT_EQ(o.bind, "0.0.0.0");
    EXPECT_EQ(o.port, 8080);
    EXPECT_EQ(o.logFile, "l");
    EXPECT_EQ(o.throttle, 100u);
    EXPECT_EQ(o.stallAfter, 0u);
    EXPECT_EQ(o.dropAfter, 7u);
    EXPECT_TRUE(o.ignoreRange);
    EXPECT_EQ(o.statusOverrides, (std::map<std::string, int>{{"/a/b", 503}, {"/c", 200}}));
    ASSERT_EQ(ParseOptions({"srv", "--root", dir.Path(), "--redirect", "/d/./old=http://h/n?a=b"},
                           o, error),
              ParseResult::Run)
        << error;
    EXPECT_EQ(o.redirects, (std::map<std::string, std::string>{{"/d/old", "http://h/n?a=b"}}));

    ServerOptions defaults;
    ASSERT_EQ(ParseOptions({"srv", "--root", dir.Path()}, defaults, error), ParseResult::Run);
    EXPECT_EQ(defaults.bind, "127.0.0.1");
    EXPECT_EQ(defaults.port, 0);
    EXPECT_FALSE(defaults.stallAfter.has_value());
    EXPECT_FALSE(defaults.dropAfter.has_value());
    EXPECT_EQ(ParseOptions({"srv", "--help"}, defaults, error), ParseResult::Help);
    EXPECT_EQ(ParseOptions({"srv", "--version"}, defaults, error), ParseResult::Version);
}

TEST(Logic, LogLines) {
    LogEntry e;
    e.method = "GET";
    e.target = "/f";
    e.userAgent = std::string("bad \xff utf-8");
    e.status = 206;
    e.bytesSent = 6000000000ULL;
    auto j = nlohmann::json::parse(FormatLogLine(e));
    EXPECT_TRUE(j["range"].is_null());
    EXPECT_TRUE(j["path"].is_null());
    EXPECT_EQ(j["bytesSent"].get<std::uint64_t>(), 6000000000ULL);
    EXPECT_EQ(j["userAgent"].get<std::string>().rfind("bad ", 0), 0u);
    EXPECT_EQ(FormatLogLine(e).find('\n'), std::string::npos);
}

}  // namespace
}  // namespace UpdateSrv
