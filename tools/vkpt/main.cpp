// vkpt: a pass-thru console. Loads the library by path, as hosts do, and drives one device
// from the shell: versions, bus monitor, sending, one UDS request, channel parameters.
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "commands.h"
#include "names.h"

using namespace vkpt;

namespace {

const char USAGE[] =
    "usage: vkpt [--lib PATH] [-d NAME] [--json] [-v] COMMAND [OPTIONS] [ARGS]\n"
    "\n"
    "commands:\n"
    "  info                                versions, device status and battery voltage\n"
    "  monitor -p PROTO -b BAUD [...]      print received messages until Ctrl-C\n"
    "  send -p PROTO -b BAUD ID#DATA...    write messages\n"
    "  uds --tx ID --rx ID HEXBYTES        one ISO 15765 request and its answer\n"
    "  ioctl [get P...] [set P=V...] [vbatt]  channel parameters and battery voltage\n"
    "  vbatt                               battery voltage (ioctl READ_VBATT)\n"
    "  help [COMMAND]                      this text, or a command's\n"
    "\n"
    "options of every command:\n"
    "  --lib PATH   library to load (default: the one of the build tree beside vkpt,\n"
    "               else ../lib/ beside it, else libj2534vk_v04_04.so from the loader's path)\n"
    "  -d NAME      device name as PassThruOpen takes it, e.g. \"vk0;n127.0.0.5\"\n"
    "               (default: the configuration's current device)\n"
    "  --json       machine-readable output (one JSON object; monitor: one per message)\n"
    "  -v           show the library's own console lines (on standard error)\n"
    "  -h, --help   help; \"vkpt COMMAND --help\" for one command\n"
    "\n"
    "identifiers are hex: 1-3 digits for 11-bit (7E0), 8 digits for 29-bit (18DAF110).\n"
    "exit status: 0 ok, 1 a library call failed, 2 bad usage or input, 3 library not\n"
    "loadable or an export missing, 4 no answer in time, 5 negative response,\n"
    "130 interrupted.\n";

const std::map<std::string, const char *> COMMAND_HELP = {
    {"info", "usage: vkpt [-d NAME] info\n"
             "Opens the device and prints firmware, library and API versions, then the device\n"
             "status and battery voltage (PassThruStatus; shown as not supported when the\n"
             "device or library lacks it).\n"},
    {"monitor",
     "usage: vkpt [-d NAME] monitor -p PROTO -b BAUD [--filter MASK:PATTERN[:FLOWID]]...\n"
     "                              [-n COUNT] [-t SECONDS] [--flags N]\n"
     "Connects and prints received messages as they come:\n"
     "  SECONDS.MICROS  ID  [LEN]  DATA  FLAGS\n"
     "  -p PROTO        CAN, ISO15765, another protocol name, or a number\n"
     "  -b BAUD         bit rate, e.g. 500000\n"
     "  --filter M:P    pass filter: identifier & M == P (hex); default: all pass (CAN)\n"
     "  --filter M:P:F  ISO 15765 flow-control filter, F the identifier flow control goes\n"
     "                  to; ISO 15765 needs at least one\n"
     "  -n COUNT        stop after COUNT messages\n"
     "  -t SECONDS      stop after SECONDS; with -n, fewer than COUNT by then is exit 4\n"
     "  --flags N       connect flags (default CAN_ID_BOTH, 0x800)\n"
     "Stops on Ctrl-C with exit status 0.\n"},
    {"send", "usage: vkpt [-d NAME] send -p PROTO -b BAUD [--filter ...] [--flags N] ID#DATA...\n"
             "Writes the messages, up to 64 per call: 7E0#0210030000000000,\n"
             "18DAF110#3E00 (29-bit), 123# (no data). DATA is hex, '.' may separate bytes.\n"
             "Exit 1 when the device accepts fewer messages than were given.\n"},
    {"uds", "usage: vkpt [-d NAME] uds --tx ID --rx ID [-b BAUD] [-t SECONDS] [--no-pad] HEX...\n"
            "Sends one ISO 15765 request from ID --tx, with a flow-control filter for the\n"
            "answer from --rx, and prints request and answer in hex. A VIN read (22 F1 90)\n"
            "also prints the VIN. Waits -t SECONDS (default 2, plus 5 after each response\n"
            "pending). Frames are padded unless --no-pad. -b defaults to 500000.\n"
            "Exit 4 when no answer arrives, 5 for a negative response.\n"},
    {"ioctl", "usage: vkpt [-d NAME] ioctl [-p PROTO] [-b BAUD] ACTION...\n"
              "Connects a channel (default CAN at 500000) and runs the actions in order:\n"
              "  get PARAM...        GET_CONFIG, e.g. get DATA_RATE LOOPBACK\n"
              "  set PARAM=VALUE...  SET_CONFIG, e.g. set LOOPBACK=1\n"
              "  vbatt               READ_VBATT\n"
              "PARAM is a name (DATA_RATE, LOOPBACK, ISO15765_BS, ...) or a number.\n"},
    {"vbatt", "usage: vkpt [-d NAME] vbatt [-p PROTO] [-b BAUD]\n"
              "Battery voltage with ioctl READ_VBATT on a channel (default CAN at 500000).\n"},
};

// Options that take a value, by every spelling, and the commands they apply to.
struct OptionInfo {
    const char *key;
    bool takes_value;
    std::set<std::string> commands; // empty: every command
};

const std::map<std::string, OptionInfo> OPTIONS = {
    {"--lib", {"--lib", true, {}}},
    {"-d", {"-d", true, {}}},
    {"--device", {"-d", true, {}}},
    {"--json", {"--json", false, {}}},
    {"-v", {"-v", false, {}}},
    {"--verbose", {"-v", false, {}}},
    {"-p", {"-p", true, {"monitor", "send", "ioctl", "vbatt"}}},
    {"--protocol", {"-p", true, {"monitor", "send", "ioctl", "vbatt"}}},
    {"-b", {"-b", true, {"monitor", "send", "uds", "ioctl", "vbatt"}}},
    {"--baud", {"-b", true, {"monitor", "send", "uds", "ioctl", "vbatt"}}},
    {"--flags", {"--flags", true, {"monitor", "send", "uds", "ioctl", "vbatt"}}},
    {"--filter", {"--filter", true, {"monitor", "send"}}},
    {"-n", {"-n", true, {"monitor"}}},
    {"--count", {"-n", true, {"monitor"}}},
    {"-t", {"-t", true, {"monitor", "uds"}}},
    {"--timeout", {"-t", true, {"monitor", "uds"}}},
    {"--tx", {"--tx", true, {"uds"}}},
    {"--rx", {"--rx", true, {"uds"}}},
    {"--no-pad", {"--no-pad", false, {"uds"}}},
};

Failure usage(const std::string &msg) {
    return Failure(EXIT_USAGE, msg);
}

void set_option(Options &o, const std::string &key, const std::string &spelled,
                const std::string &v) {
    auto bad = [&]() { return usage("bad value for " + spelled + ": \"" + v + "\""); };
    std::string why;
    if (key == "--lib") {
        o.lib = v;
    } else if (key == "-d") {
        o.device = v;
    } else if (key == "-p") {
        if (!parse_protocol(v, o.protocol)) throw usage("unknown protocol \"" + v + "\"");
        o.has_protocol = true;
    } else if (key == "-b") {
        if (!parse_u32(v, 0xFFFFFFFFu, o.baud) || o.baud == 0) throw bad();
        o.has_baud = true;
    } else if (key == "--flags") {
        if (!parse_u32(v, 0xFFFFFFFFu, o.flags)) throw bad();
        o.has_flags = true;
    } else if (key == "--filter") {
        FilterSpec f;
        if (!parse_filter(v, f, why)) throw usage(why);
        o.filters.push_back(f);
    } else if (key == "-n") {
        if (!parse_u32(v, 0xFFFFFFFFu, o.count)) throw bad();
        o.has_count = true;
    } else if (key == "-t") {
        if (!parse_seconds(v, o.seconds)) throw bad();
        o.has_seconds = true;
    } else if (key == "--tx" || key == "--rx") {
        if (!parse_can_id(v, key == "--tx" ? o.tx : o.rx, why)) throw usage(why);
        (key == "--tx" ? o.has_tx : o.has_rx) = true;
    }
}

// Returns false when help was asked for (and printed).
bool parse_args(int argc, char **argv, Options &o) {
    bool help = false;
    std::vector<std::string> seen; // spellings, to check they apply to the command
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            help = true;
            continue;
        }
        if (a.size() > 1 && a[0] == '-') {
            std::string name = a, value;
            bool inline_value = false;
            size_t eq = a.find('=');
            if (a.compare(0, 2, "--") == 0 && eq != std::string::npos) {
                name = a.substr(0, eq);
                value = a.substr(eq + 1);
                inline_value = true;
            }
            auto it = OPTIONS.find(name);
            if (it == OPTIONS.end()) throw usage("unknown option " + name);
            const OptionInfo &info = it->second;
            if (info.takes_value && !inline_value) {
                if (i + 1 >= argc) throw usage(name + " needs a value");
                value = argv[++i];
            } else if (!info.takes_value && inline_value) {
                throw usage(name + " takes no value");
            }
            seen.push_back(name);
            if (info.takes_value)
                set_option(o, info.key, name, value);
            else if (std::string(info.key) == "--json")
                o.json = true;
            else if (std::string(info.key) == "-v")
                o.verbose = true;
            else if (std::string(info.key) == "--no-pad")
                o.pad = false;
            continue;
        }
        if (o.command.empty())
            o.command = a;
        else
            o.args.push_back(a);
    }

    if (o.command == "help") {
        help = true;
        o.command = o.args.empty() ? "" : o.args[0];
        o.args.clear();
    }
    if (!o.command.empty() && !COMMAND_HELP.count(o.command))
        throw usage("unknown command \"" + o.command + "\"");
    if (help) {
        fputs(o.command.empty() ? USAGE : COMMAND_HELP.at(o.command), out());
        return false;
    }
    if (o.command.empty()) throw usage("no command given");
    for (const std::string &s : seen) {
        const OptionInfo &info = OPTIONS.at(s);
        if (!info.commands.empty() && !info.commands.count(o.command))
            throw usage(s + " does not apply to " + o.command);
    }
    if (o.command == "vbatt") {
        if (!o.args.empty()) throw usage("unexpected \"" + o.args[0] + "\"");
        o.command = "ioctl";
        o.args = {"vbatt"};
    }
    return true;
}

void print_json(cJSON *v) {
    char *s = cJSON_PrintUnformatted(v);
    if (s) fprintf(out(), "%s\n", s);
    cJSON_free(s);
}

} // namespace

int main(int argc, char **argv) {
    Options opt;
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "--json") == 0) opt.json = true;

    cJSON *result = cJSON_CreateObject();
    int rc = EXIT_OK;
    try {
        if (!parse_args(argc, argv, opt)) {
            cJSON_Delete(result);
            return EXIT_OK;
        }
        validate(opt);
        separate_library_output(opt.verbose);
        install_signal_handlers();
        Api api = load_library(opt.lib);
        Context ctx{api, opt, result};
        if (opt.command == "info")
            rc = run_info(ctx);
        else if (opt.command == "monitor")
            rc = run_monitor(ctx);
        else if (opt.command == "send")
            rc = run_send(ctx);
        else if (opt.command == "uds")
            rc = run_uds(ctx);
        else
            rc = run_ioctl(ctx);
        if (opt.json && result->child) print_json(result);
    } catch (const Failure &f) {
        fflush(out());
        fprintf(stderr, "vkpt: %s%s\n", f.what(),
                f.exit_code == EXIT_USAGE ? " (see vkpt --help)" : "");
        if (opt.json) {
            cJSON *e = cJSON_AddObjectToObject(result, "error");
            cJSON_AddStringToObject(e, "message", f.what());
            cJSON_AddNumberToObject(e, "exit", f.exit_code);
            if (!f.call.empty()) {
                cJSON_AddStringToObject(e, "call", f.call.c_str());
                cJSON_AddStringToObject(e, "status", status_name(f.status).c_str());
                cJSON_AddNumberToObject(e, "code", f.status);
                cJSON_AddStringToObject(e, "text", f.text.c_str());
            }
            print_json(result);
        }
        rc = f.exit_code;
    } catch (const std::exception &e) {
        fprintf(stderr, "vkpt: %s\n", e.what());
        rc = EXIT_CALL_FAILED;
    }
    cJSON_Delete(result);
    return rc;
}
