// client_fixture.h -- a command client without a network: client slot 0 owns
// one end of a socketpair and a turtle; the test holds the other end.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <regex>
#include <string>
#include <vector>

#include "command.h"
#include "frame.h"
#include "tcpserver.h"
#include "world_fixture.h"

// One reply line split into its parts: "payload STATUS @ ticks events".
struct Reply {
    bool well_formed = false;
    std::string payload, status; // status "OK" or "ERR"
    unsigned events = 0;
};

inline Reply parse_reply(const std::string& line) {
    static const std::regex form("(?:(.*) )?(OK|ERR) @ [0-9]+ ([0-9]+)");
    std::smatch m;
    if (!std::regex_match(line, m, form)) return {};
    return {true, m[1], m[2], (unsigned)std::stoul(m[3])};
}

inline void free_all_client_slots() {
    for (auto& c : client_tab) {
        if (c.socket >= 0) close(c.socket);
        c.socket = -1;
        c.tid = -1;
        c.len = 0;
        c.buffer[0] = '\0';
        c.nup = 0;
        c.to_be_disconnected = 0;
    }
    nclient = 0;
}

// The end of a frame as the command thread sees it: every budget starts
// afresh, and a thread waiting for that is woken.
inline void end_of_frame() {
    int wake;
    {
        frame_guard g;
        wake = reset_budgets();
    }
    if (wake) wake_server_thread();
}

struct ClientSlot : World {
    int peer[MAX_CLIENT];
    int tid = -1; // the turtle of client 0

    void SetUp() override {
        World::SetUp();
        for (int& p : peer) p = -1;
        free_all_client_slots();
        tid = place_turtle(0.0, 0.0, 0.0, 0);
        attach(0, tid);
    }

    void TearDown() override {
        free_all_client_slots();
        for (int& p : peer)
            if (p >= 0) close(p), p = -1;
    }

    // Fills slot cl with one end of a fresh socketpair and the turtle tid;
    // the peer address reads 127.0.0.1, port 4000 + cl.
    void attach(int cl, int t) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        fcntl(sv[1], F_SETFL, O_NONBLOCK);
        struct tcpclient& c = client_tab[cl];
        c.socket = sv[0];
        c.tid = t;
        c.addr.sin_family = AF_INET;
        c.addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        c.addr.sin_port = htons((unsigned short)(4000 + cl));
        c.len = 0;
        c.buffer[0] = '\0';
        c.nup = 0;
        peer[cl] = sv[1];
        nclient++;
    }

    // Everything the server has written to client cl so far, as lines.
    std::vector<std::string> drain(int cl = 0) {
        std::string all;
        char buf[4096];
        for (ssize_t n; (n = recv(peer[cl], buf, sizeof(buf), 0)) > 0;) all.append(buf, (size_t)n);
        std::vector<std::string> lines;
        for (size_t at = 0, eol; at < all.size(); at = eol + 1) {
            eol = std::min(all.find('\n', at), all.size());
            lines.push_back(all.substr(at, eol - at) + (eol == all.size() ? "<unterminated>" : ""));
        }
        return lines;
    }

    // One command through parse_message_for and answer_back; its reply line.
    std::string run(const std::string& text, int cl = 0) {
        std::vector<char> buf(text.begin(), text.end());
        buf.push_back('\0');
        int r = parse_message_for(cl, buf.data());
        answer_back(cl, r);
        std::vector<std::string> lines = drain(cl);
        if (lines.size() != 1)
            return std::string("<").append(std::to_string(lines.size())).append(" lines>");
        return lines[0];
    }

    Reply ask(const std::string& text, int cl = 0) { return parse_reply(run(text, cl)); }

    // Bytes from client cl, waiting in its socket for the next pass.
    void push(const std::string& bytes, int cl = 0) {
        ssize_t n = send(peer[cl], bytes.data(), bytes.size(), MSG_NOSIGNAL);
        EXPECT_EQ(n, (ssize_t)bytes.size());
    }

    // Bytes as they would arrive in one read, then framing; the replies.
    std::vector<std::string> feed(const std::string& bytes, int cl = 0) {
        push(bytes, cl);
        EXPECT_GT(receive_client_packet(cl), 0);
        try_to_exec(cl);
        return drain(cl);
    }
};
