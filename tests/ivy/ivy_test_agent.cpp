// A small agent for the tests: joins a bus through the C facade and is driven
// by commands on standard input, one per line; it prints what it sees on
// standard output, one event per line, so a test can wait for it.
//
//   ivy_test_agent [-b bus] [-n name] [-r ready] [-t] [-N] [regexp...]
//
// -t: leave the bus (IvyTerminate, IvyStop) from the first Disconnected event.
// -N: no netlink sockets, as under our hardened units.
//
// Commands (texts use the capture notation: \\, \n, \xNN):
//   send <text>            -> "sent <count>"
//   bind <regexp>          -> "bound <index>"
//   unbind <index>         -> "unbound <index>"
//   change <index> <re>    -> "changed <index>"
//   die|ping <peer>        (to the first peer of that name)
//   direct <peer> <id> <text>
//   error <peer> <id> <text>
//   flood <count> <size>   sends "FLOOD <i> xxx..." (size bytes) count times
//                          -> "flooded <total Msgs>"
//   who                    -> "peers <names, each followed by ','>"
//   quit                   (IvyStop; the program prints "stopped" and exits 0)
// Events:
//   connected|disconnected|congestion|decongestion|fifofull <peer>
//   msg <index> <peer> <argc> '<field>'...
//   direct <peer> <id> '<text>'   dying <peer> <id>   pong <peer>
//   bindev <peer> <id> <add|remove|filter|change> '<regexp>' (cut after 200 bytes)
#include <Ivy/ivy.h>
#include <Ivy/ivyloop.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sandbox.h"

namespace {

std::vector<MsgRcvPtr> g_bindings;
std::vector<int> g_indexes;  // stable user data for each binding
std::string g_input;
bool g_terminate_on_disconnect = false;

void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string escape(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
        } else if (text[i + 1] == 'n') {
            out += '\n';
            ++i;
        } else if (text[i + 1] == 'x' && i + 3 < text.size()) {
            out += static_cast<char>(std::strtol(text.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            out += text[i + 1];
            ++i;
        }
    }
    return out;
}

std::string name_of(IvyClientPtr app) {
    return IvyGetApplicationName(app);
}

void on_msg(IvyClientPtr app, void* data, int argc, char** argv) {
    std::string line = "msg " + std::to_string(*static_cast<int*>(data)) + " " + name_of(app) +
                       " " + std::to_string(argc);
    for (int i = 0; i < argc; ++i) line += " '" + escape(argv[i]) + "'";
    say(line);
}

void on_app(IvyClientPtr app, void*, IvyApplicationEvent event) {
    static const char* const names[] = {"connected", "disconnected", "congestion", "decongestion",
                                        "fifofull"};
    say(std::string(names[event]) + " " + name_of(app));
    if (event == IvyApplicationDisconnected && g_terminate_on_disconnect) {
        IvyTerminate();
        IvyStop();
    }
}

void on_die(IvyClientPtr app, void*, int id) {
    say("dying " + name_of(app) + " " + std::to_string(id));
}

void on_direct(IvyClientPtr app, void*, int id, char* msg) {
    say("direct " + name_of(app) + " " + std::to_string(id) + " '" + escape(msg) + "'");
}

void on_pong(IvyClientPtr app, int) {
    say("pong " + name_of(app));
}

// A long regexp is shown cut: a test that binds hundreds of them must not
// fill the pipe of a standard output it is not reading meanwhile.
void on_bind(IvyClientPtr app, void*, int id, const char* regexp, IvyBindEvent event) {
    static const char* const names[] = {"add", "remove", "filter", "change"};
    std::string shown = escape(regexp);
    if (shown.size() > 200) shown = shown.substr(0, 200) + "...";
    say("bindev " + name_of(app) + " " + std::to_string(id) + " " + names[event] + " '" + shown +
        "'");
}

void bind(const std::string& regexp) {
    g_indexes.reserve(1024);  // user data pointers must stay put
    g_indexes.push_back(static_cast<int>(g_indexes.size()));
    g_bindings.push_back(IvyBindMsg(on_msg, &g_indexes.back(), "%s", regexp.c_str()));
}

// "word rest" -> word, and rest in *rest.
std::string word(const std::string& text, std::string* rest) {
    const auto space = text.find(' ');
    *rest = space == std::string::npos ? "" : text.substr(space + 1);
    return text.substr(0, space);
}

void command(const std::string& line) {
    std::string rest;
    const std::string verb = word(line, &rest);
    std::string arg;
    if (verb == "send") {
        say("sent " + std::to_string(IvySendMsg("%s", unescape(rest).c_str())));
    } else if (verb == "bind") {
        bind(unescape(rest));
        say("bound " + std::to_string(g_bindings.size() - 1));
    } else if (verb == "unbind") {
        IvyUnbindMsg(g_bindings.at(std::stoul(rest)));
        say("unbound " + rest);
    } else if (verb == "change") {
        const std::size_t index = std::stoul(word(rest, &arg));
        g_bindings.at(index) = IvyChangeMsg(g_bindings.at(index), "%s", unescape(arg).c_str());
        say("changed " + std::to_string(index));
    } else if (verb == "die" || verb == "ping") {
        IvyClientPtr app = IvyGetApplication(const_cast<char*>(rest.c_str()));
        if (verb == "die") IvySendDieMsg(app);
        if (verb == "ping") IvySendPing(app);
    } else if (verb == "direct" || verb == "error") {
        const std::string peer = word(rest, &arg);
        std::string text;
        const int id = std::atoi(word(arg, &text).c_str());
        IvyClientPtr app = IvyGetApplication(const_cast<char*>(peer.c_str()));
        std::string body = unescape(text);
        if (verb == "direct") IvySendDirectMsg(app, id, body.data());
        if (verb == "error") IvySendError(app, id, "%s", body.c_str());
    } else if (verb == "flood") {
        const int count = std::atoi(word(rest, &arg).c_str());
        const std::string filler(std::strtoul(arg.c_str(), nullptr, 10), 'x');
        int total = 0;
        for (int i = 0; i < count; ++i) total += IvySendMsg("FLOOD %d %s", i, filler.c_str());
        say("flooded " + std::to_string(total));
    } else if (verb == "who") {
        say(std::string("peers ") + IvyGetApplicationList(","));
    } else if (verb == "quit") {
        IvyStop();
    }
}

void on_stdin(Channel channel, IVY_HANDLE fd, void*) {
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) {
        IvyChannelRemove(channel);
        IvyStop();
        return;
    }
    g_input.append(buffer, static_cast<std::size_t>(n));
    std::size_t lf;
    while ((lf = g_input.find('\n')) != std::string::npos) {
        const std::string line = g_input.substr(0, lf);
        g_input.erase(0, lf + 1);
        command(line);
    }
}

// The loop removes the channel by itself at end of input.
void on_stdin_gone(void*) {
    IvyStop();
}

}  // namespace

int main(int argc, char** argv) {
    const char* bus = nullptr;
    const char* name = "TESTAGENT";
    const char* ready = nullptr;
    int opt;
    while ((opt = ::getopt(argc, argv, "b:n:r:tN")) != -1) {
        if (opt == 't') g_terminate_on_disconnect = true;
        if (opt == 'N' && !sandbox::refuse_socket_family(AF_NETLINK)) {
            std::fputs("cannot refuse netlink sockets here\n", stderr);
            return 2;
        }
        if (opt == 'b') bus = optarg;
        if (opt == 'n') name = optarg;
        if (opt == 'r') ready = optarg;
    }
    IvyInit(name, ready, on_app, nullptr, on_die, nullptr);
    IvySetPongCallback(on_pong);
    IvySetBindCallback(on_bind, nullptr);
    IvyBindDirectMsg(on_direct, nullptr);
    for (int i = optind; i < argc; ++i) bind(unescape(argv[i]));
    IvyChannelAdd(0, nullptr, on_stdin_gone, on_stdin, nullptr);
    IvyStart(bus);
    say("started");
    IvyMainLoop();
    say("stopped");
    return 0;
}
