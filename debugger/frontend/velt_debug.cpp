// velt-debug: a command-line debugging front end for cgi-runner-debug. It
// listens on the debug port, accepts the interpreter's connection, serves
// module texts from a directory when asked to, and takes commands from the
// terminal or from standard input (so a session can be scripted).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "debugger/wire.h"
#include "platform/net.h"

using velt::debugger::receive_message;
using velt::debugger::send_message;

namespace {

const char* const USAGE =
    "usage: velt-debug [--port PORT] [--listen ADDRESS] [--source DIR] [--wait SECONDS]\n"
    "commands: break FILE:LINE | condition FILE:LINE EXPR | trace FILE:LINE LABEL | delete [FILE:LINE]\n"
    "          continue | step | next | finish | print EXPR | frame N | backtrace | list | quit\n";

// The interpreter's three fixed answers in Shift_JIS and their UTF-8 form.
const char* const SJIS_TEXTS[][2] = {
    {"\x23\x8E\xAE\x82\xCC\x83\x74\x83\x48\x81\x5B\x83\x7D\x83\x62\x83\x67\x95\x73\x90\xB3\x28", "#式のフォーマット不正("},
    {"\x23\x8C\xC4\x82\xD1\x8F\x6F\x82\xB5\x97\x9A\x97\xF0\x82\xCC\x8E\x77\x92\xE8\x95\x73\x90\xB3", "#呼び出し履歴の指定不正"},
    {"\x23\x45\x52\x52\x4F\x52\x3A\x20\x95\x5D\x89\xBF\x8C\x8B\x89\xCA\x82\xCC\x95\xB6\x8E\x9A\x97\xF1\x82\xAA"
     "\x92\xB7\x82\xB7\x82\xAC\x82\xDC\x82\xB7\x81\x42",
     "#ERROR: 評価結果の文字列が長すぎます。"},
};

struct Line {
    std::string file;
    int line;
    std::string text;  // condition expression or trace label
};

struct State {
    int listener = -1;
    int sock = -1;
    int wait_ms = 600000;
    std::string source_dir;
    std::vector<Line> breaks, conditions, traces;
    std::vector<std::string> modules;  // paths the interpreter asked for
    std::vector<std::string> frames;   // from the last "S", outermost first
    bool stopped = false;
    bool ended = false;
    std::string stop_path;
    int stop_line = 0;
    int selected = 0;  // frame counted from the innermost
} st;

void say(const std::string& s) {
    std::fwrite(s.data(), 1, s.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string from_sjis(const std::string& s) {
    for (const auto& t : SJIS_TEXTS) {
        size_t n = std::strlen(t[0]);
        if (s.compare(0, n, t[0]) == 0) return t[1] + s.substr(n);
    }
    return s;
}

bool matches(const std::string& file, const std::string& path) {
    if (path == file) return true;
    return path.size() > file.size() && path.compare(path.size() - file.size(), file.size(), file) == 0 &&
           path[path.size() - file.size() - 1] == '/';
}

bool read_file(const std::string& path, std::string* out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream ss;
    ss << f.rdbuf();
    *out = ss.str();
    return true;
}

// The module's text: from the source directory (the path, then shorter
// tails of it), else the path as it stands.
bool module_text(const std::string& path, std::string* out, bool served_only) {
    if (!st.source_dir.empty()) {
        std::string p = path;
        for (;;) {
            if (!p.empty() && p[0] != '/' && read_file(st.source_dir + "/" + p, out)) return true;
            size_t slash = p.find('/');
            if (slash == std::string::npos) break;
            p = p.substr(slash + 1);
        }
    }
    return !served_only && read_file(path, out);
}

std::string list_for(const std::vector<Line>& table, const std::string& path, char kind) {
    std::string s;
    for (const auto& l : table) {
        if (!matches(l.file, path)) continue;
        s += std::to_string(l.line) + ":";
        if (kind != 'B') s += l.text + ";";
    }
    return s;
}

bool send(const std::string& s) {
    if (st.sock < 0 || send_message(st.sock, s.data(), s.size())) return st.sock >= 0;
    say("link lost");
    velt::platform::net_close(st.sock);
    st.sock = -1;
    st.ended = true;
    return false;
}

bool receive(std::string& s) {
    if (st.sock >= 0 && receive_message(st.sock, s, st.wait_ms)) return true;
    if (!st.ended) say("link lost");
    if (st.sock >= 0) velt::platform::net_close(st.sock);
    st.sock = -1;
    st.ended = true;
    return false;
}

void show_source_line(const std::string& path, int line, int context) {
    std::string text;
    if (!module_text(path, &text, false)) return;
    std::istringstream in(text);
    std::string l;
    for (int n = 1; std::getline(in, l); ++n) {
        if (n < line - context || n > line + context) continue;
        char head[32];
        std::snprintf(head, sizeof head, "%s%5d  ", n == line ? "=>" : "  ", n);
        say(head + l);
    }
}

bool connect_if_needed() {
    if (st.sock >= 0 || st.ended) return st.sock >= 0;
    st.sock = velt::platform::net_accept(st.listener, st.wait_ms);
    if (st.sock < 0) {
        say("no connection");
        st.ended = true;
        return false;
    }
    say("connected");
    return true;
}

// Handles one message from the interpreter; true when it was a stop.
bool handle(const std::string& m) {
    if (m.empty()) return false;
    std::string rest = m.substr(1);
    switch (m[0]) {
        case 'M': {
            st.modules.push_back(rest);
            std::string text;
            bool served = module_text(rest, &text, true);
            say("module " + rest + (served ? " (served)" : " (from disk)"));
            if (!send(served ? text : "&&&&")) return false;
            send("T" + list_for(st.traces, rest, 'T') + "###B" + list_for(st.breaks, rest, 'B') + "$$$C" +
                 list_for(st.conditions, rest, 'b'));
            return false;
        }
        case 'S': {
            st.frames.clear();
            size_t start = 0;
            while (start <= rest.size() && !rest.empty()) {
                size_t semi = rest.find(';', start);
                st.frames.push_back(rest.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
                if (semi == std::string::npos) break;
                start = semi + 1;
            }
            return false;
        }
        case 'B': {
            // path ":" line ":" column
            size_t c2 = rest.rfind(':');
            size_t c1 = c2 == std::string::npos || c2 == 0 ? std::string::npos : rest.rfind(':', c2 - 1);
            st.stop_path = c1 == std::string::npos ? rest : rest.substr(0, c1);
            st.stop_line = c1 == std::string::npos ? 0 : std::atoi(rest.c_str() + c1 + 1);
            st.stopped = true;
            st.selected = 0;
            say("stopped at " + rest);
            show_source_line(st.stop_path, st.stop_line, 0);
            return true;
        }
        case 'A': say("trace " + rest); return false;
        case 'R': say("trace return " + rest); return false;
        case 'L': say("(L) " + rest); return false;
        case 'E': say("(E) " + rest); return false;
        case 'D': say("(D) " + rest); return false;
        case 'X':
            say("program ended");
            st.ended = true;
            velt::platform::net_close(st.sock);
            st.sock = -1;
            return false;
        case '#': say("condition " + from_sjis(m)); return false;
        default: say("message " + m); return false;
    }
}

// Serves the interpreter until it stops or ends.
void run_until_stop() {
    if (!connect_if_needed()) return;
    while (!st.stopped && !st.ended) {
        std::string m;
        if (!receive(m)) return;
        handle(m);
    }
}

void step(char digit) {
    run_until_stop();
    if (!st.stopped) return;
    st.stopped = false;
    if (send(std::string("STEP") + digit)) run_until_stop();
}

// Sends the tables of every module the file names (while stopped).
void update_tables(const std::string& file) {
    if (!st.stopped) return;
    for (const auto& p : st.modules) {
        if (!matches(file, p)) continue;
        send("B" + p + ":" + list_for(st.breaks, p, 'B'));
        send("b" + p + ":" + list_for(st.conditions, p, 'b'));
        send("T" + p + ":" + list_for(st.traces, p, 'T'));
    }
}

bool parse_place(const std::string& arg, std::string* file, int* line) {
    size_t colon = arg.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    *file = arg.substr(0, colon);
    *line = std::atoi(arg.c_str() + colon + 1);
    return *line > 0;
}

void command(const std::string& text) {
    std::istringstream in(text);
    std::string cmd, arg;
    in >> cmd;
    if (cmd.empty()) return;
    std::string rest;
    std::getline(in, rest);
    size_t b = rest.find_first_not_of(' ');
    rest = b == std::string::npos ? "" : rest.substr(b);
    std::istringstream rin(rest);
    rin >> arg;
    std::string tail;
    std::getline(rin, tail);
    b = tail.find_first_not_of(' ');
    tail = b == std::string::npos ? "" : tail.substr(b);
    std::string file;
    int line = 0;
    if (cmd == "break" || cmd == "condition" || cmd == "trace" || cmd == "delete") {
        if (cmd == "delete" && arg.empty()) {
            st.breaks.clear();
            st.conditions.clear();
            st.traces.clear();
            for (const auto& p : st.modules) update_tables(p);
            say("all breakpoints deleted");
            return;
        }
        if (!parse_place(arg, &file, &line) || ((cmd == "condition" || cmd == "trace") && tail.empty())) {
            say("usage: " + cmd + " FILE:LINE" + (cmd == "condition" ? " EXPR" : cmd == "trace" ? " LABEL" : ""));
            return;
        }
        if (cmd == "break") st.breaks.push_back(Line{file, line, ""});
        if (cmd == "condition") st.conditions.push_back(Line{file, line, tail});
        if (cmd == "trace") st.traces.push_back(Line{file, line, tail});
        if (cmd == "delete") {
            for (auto* t : {&st.breaks, &st.conditions, &st.traces})
                for (size_t i = t->size(); i-- > 0;)
                    if ((*t)[i].file == file && (*t)[i].line == line) t->erase(t->begin() + static_cast<long>(i));
        }
        say(cmd + " " + arg + (tail.empty() ? "" : " " + tail));
        update_tables(file);
        return;
    }
    if (cmd == "continue" || cmd == "c") return step('1');
    if (cmd == "step" || cmd == "s") return step('2');
    if (cmd == "next" || cmd == "n") return step('3');
    if (cmd == "finish") return step('4');
    if (cmd == "quit" || cmd == "q") {
        if (st.stopped) {
            st.stopped = false;
            if (send("STEP0")) {
                std::string m;
                while (!st.ended && receive(m)) handle(m);
            }
        }
        std::exit(0);
    }
    run_until_stop();
    if (!st.stopped) {
        say("not stopped");
        return;
    }
    if (cmd == "print" || cmd == "p") {
        size_t frame = st.frames.size() > static_cast<size_t>(st.selected)
                           ? st.frames.size() - 1 - static_cast<size_t>(st.selected) : 0;
        std::string where = st.frames.empty() ? "" : st.frames[frame];
        std::string m;
        if (send("E" + where + ";" + rest) && receive(m)) {
            std::string answer = from_sjis(m);
            say(answer[0] == '=' ? "= " + answer.substr(1) : answer);
        }
    } else if (cmd == "frame" || cmd == "f") {
        int n = std::atoi(arg.c_str());
        if (n < 0 || static_cast<size_t>(n) >= st.frames.size()) {
            say("no frame " + arg);
            return;
        }
        st.selected = n;
        say("#" + arg + " " + st.frames[st.frames.size() - 1 - static_cast<size_t>(n)]);
    } else if (cmd == "backtrace" || cmd == "bt") {
        for (size_t i = 0; i < st.frames.size(); ++i)
            say((static_cast<int>(i) == st.selected ? "* #" : "  #") + std::to_string(i) + " " +
                st.frames[st.frames.size() - 1 - i]);
    } else if (cmd == "list" || cmd == "l") {
        show_source_line(st.stop_path, st.stop_line, 5);
    } else {
        say("unknown command " + cmd);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string port = "8777", address = "127.0.0.1";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool has = i + 1 < argc;
        if (a == "--port" && has) port = argv[++i];
        else if (a == "--listen" && has) address = argv[++i];
        else if (a == "--source" && has) st.source_dir = argv[++i];
        else if (a == "--wait" && has) st.wait_ms = std::atoi(argv[++i]) * 1000;
        else {
            std::fputs(USAGE, stderr);
            return 2;
        }
    }
    velt::platform::net_start();
    int bound = 0;
    st.listener = velt::platform::net_listen(address.c_str(), port.c_str(), &bound);
    if (st.listener < 0) {
        std::fprintf(stderr, "velt-debug: cannot listen on %s:%s\n", address.c_str(), port.c_str());
        return 1;
    }
    std::fprintf(stderr, "velt-debug: listening on %s:%d\n", address.c_str(), bound);
    bool tty = isatty(0);
    std::string line;
    for (;;) {
        if (tty) std::fputs("(velt) ", stdout), std::fflush(stdout);
        if (!std::getline(std::cin, line)) break;
        if (!tty && !line.empty()) say("(velt) " + line);
        command(line);
    }
    // No more commands: let the run go on to its end.
    while (!st.ended) {
        if (st.stopped) {
            st.stopped = false;
            if (!send("STEP1")) break;
        }
        run_until_stop();
    }
    velt::platform::net_close(st.listener);
    return 0;
}
