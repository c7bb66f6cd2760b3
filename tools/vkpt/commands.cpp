#include "commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "names.h"

namespace vkpt {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t WRITE_TIMEOUT_MS = 1000;
constexpr uint32_t READ_SLICE_MS = 100; // longest wait in the library before we check Ctrl-C
constexpr size_t READ_BATCH = 64;
constexpr size_t WRITE_BATCH = 64;
constexpr size_t MAX_ISO15765_DATA = 4095;
constexpr double UDS_DEFAULT_SECONDS = 2.0;
constexpr double UDS_PENDING_SECONDS = 5.0; // extra wait after each "response pending"
constexpr uint8_t UDS_NEGATIVE = 0x7F;
constexpr uint8_t UDS_PENDING = 0x78;
constexpr size_t VIN_LENGTH = 17;
constexpr uint32_t RX_INDICATIONS = RXSTATUS_INT | RXSTATUS_RX_START | RXSTATUS_TX_DONE;

Failure usage(const std::string &msg) {
    return Failure(EXIT_USAGE, msg);
}

std::string id_text(uint32_t id, bool ext) {
    char buf[16];
    snprintf(buf, sizeof buf, ext ? "%08X" : "%03X", id);
    return buf;
}

std::string id_text(const CanId &id) {
    return id_text(id.id, id.ext);
}

std::string hex(const uint8_t *p, size_t n, const char *sep) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        if (i && *sep) out += sep;
        snprintf(buf, sizeof buf, "%02X", p[i]);
        out += buf;
    }
    return out;
}

std::string hex(const std::vector<uint8_t> &v, const char *sep) {
    return hex(v.data(), v.size(), sep);
}

std::string volts(uint32_t mv) {
    char buf[32];
    snprintf(buf, sizeof buf, "%u.%03u V", mv / 1000, mv % 1000);
    return buf;
}

std::string seconds_text(double s) {
    char buf[32];
    snprintf(buf, sizeof buf, "%g", s);
    return buf;
}

void put_id(uint8_t *p, uint32_t id) {
    p[0] = static_cast<uint8_t>(id >> 24);
    p[1] = static_cast<uint8_t>(id >> 16);
    p[2] = static_cast<uint8_t>(id >> 8);
    p[3] = static_cast<uint8_t>(id);
}

uint32_t get_id(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// A message for CAN-identifier protocols: identifier, then data.
std::unique_ptr<pt_msg_t> can_msg(uint32_t protocol, const CanId &id,
                                  const std::vector<uint8_t> &data, uint32_t tx_flags) {
    auto m = std::make_unique<pt_msg_t>();
    memset(m.get(), 0, sizeof *m);
    m->ProtocolID = protocol;
    m->TxFlags = tx_flags | (id.ext ? CAN_29BIT_ID : 0);
    put_id(m->Data, id.id);
    std::copy(data.begin(), data.end(), m->Data + 4);
    m->DataSize = static_cast<uint32_t>(4 + data.size());
    m->ExtraDataIndex = m->DataSize;
    return m;
}

bool is_iso15765(uint32_t protocol) {
    return protocol == ISO15765 || protocol == ISO15765_PS || protocol == SW_ISO15765_PS ||
           protocol == FT_ISO15765_PS || protocol == FD_ISO15765_PS;
}

size_t max_payload(uint32_t protocol) {
    if (protocol == CAN || protocol == CAN_PS || protocol == SW_CAN_PS || protocol == FT_CAN_PS)
        return 8;
    if (protocol == FD_CAN_PS) return 64;
    return PT_MSG_DATA_SIZE - 4;
}

uint32_t connect_flags(const Options &o, bool any_ext, bool any_std) {
    if (o.has_flags) return o.flags;
    if (any_ext && any_std) return CAN_ID_BOTH;
    return any_ext ? CAN_29BIT_ID : 0;
}

void json_add_str(cJSON *o, const char *key, const std::string &v) {
    cJSON_AddStringToObject(o, key, v.c_str());
}

void json_add_num(cJSON *o, const char *key, double v) {
    cJSON_AddNumberToObject(o, key, v);
}

// Prints one JSON value as a line and frees it.
void json_line(cJSON *v) {
    char *s = cJSON_PrintUnformatted(v);
    if (s) fprintf(out(), "%s\n", s);
    cJSON_free(s);
    cJSON_Delete(v);
}

// Pass filters (CAN) or flow-control filters (ISO 15765) from --filter.
void start_filters(Context &ctx, const Channel &ch, const std::vector<FilterSpec> &filters) {
    for (const FilterSpec &f : filters) {
        const uint32_t ext = f.pattern.ext ? CAN_29BIT_ID : 0;
        auto mask = can_msg(ch.protocol(), CanId{f.mask, f.pattern.ext}, {}, 0);
        auto pattern = can_msg(ch.protocol(), f.pattern, {}, 0);
        mask->TxFlags = pattern->TxFlags = ext;
        std::unique_ptr<pt_msg_t> flow;
        if (f.has_flow) flow = can_msg(ch.protocol(), f.flow, {}, 0);
        uint32_t id = 0;
        check(ctx.api, "PassThruStartMsgFilter",
              ctx.api.StartMsgFilter(ch.id(), f.has_flow ? FLOW_CONTROL_FILTER : PASS_FILTER,
                                     mask.get(), pattern.get(), flow.get(), &id));
    }
}

// Reads what arrived within at most `wait_ms`; the returned messages are the first `n`.
uint32_t read_some(Context &ctx, const Channel &ch, std::vector<pt_msg_t> &buf, size_t want,
                   uint32_t wait_ms) {
    uint32_t n = static_cast<uint32_t>(std::min(want, buf.size()));
    int32_t st = ctx.api.ReadMsgs(ch.id(), buf.data(), &n, wait_ms);
    if (st == ERR_BUFFER_EMPTY || st == ERR_TIME_OUT) return 0;
    check(ctx.api, "PassThruReadMsgs", st);
    return n;
}

uint32_t ms_until(Clock::time_point t) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<uint32_t>(left);
}

void print_msg(const Context &ctx, const pt_msg_t &m) {
    const uint32_t size = std::min<uint32_t>(m.DataSize, PT_MSG_DATA_SIZE);
    const bool has_id = is_can_id_protocol(m.ProtocolID) && size >= 4;
    const bool ext = (m.RxStatus & RXSTATUS_EXT29) || (has_id && get_id(m.Data) > 0x7FF);
    const std::string id = has_id ? id_text(get_id(m.Data), ext) : "-";
    const uint8_t *data = has_id ? m.Data + 4 : m.Data;
    const size_t n = has_id ? size - 4 : size;
    std::vector<std::string> flags = rx_flag_names(m.RxStatus, m.ProtocolID);

    if (ctx.opt.json) {
        cJSON *o = cJSON_CreateObject();
        json_add_num(o, "timestamp_us", m.Timestamp);
        json_add_str(o, "protocol", protocol_name(m.ProtocolID));
        if (has_id) {
            json_add_str(o, "id", id);
            cJSON_AddBoolToObject(o, "ext", ext);
        }
        json_add_str(o, "data", hex(data, n, ""));
        json_add_num(o, "rx_status", m.RxStatus);
        cJSON *fl = cJSON_AddArrayToObject(o, "flags");
        for (const std::string &f : flags)
            cJSON_AddItemToArray(fl, cJSON_CreateString(f.c_str()));
        json_line(o);
        return;
    }
    std::string names;
    for (const std::string &f : flags)
        names += (names.empty() ? "" : ",") + f;
    fprintf(out(), "%6u.%06u  %-8s  [%zu]  %s%s%s\n", m.Timestamp / 1000000, m.Timestamp % 1000000,
            id.c_str(), n, hex(data, n, " ").c_str(), names.empty() ? "" : "  ", names.c_str());
}

// True when stdout went away (a closed pipe): there is no one left to print for.
bool stdout_gone() {
    return fflush(out()) != 0 || ferror(out());
}

struct IoctlAction {
    enum Kind { GET, SET, VBATT } kind;
    std::vector<SCONFIG> params;
};

std::vector<IoctlAction> parse_ioctl_actions(const Options &o) {
    std::vector<IoctlAction> actions;
    for (const std::string &a : o.args) {
        if (a == "get" || a == "set" || a == "vbatt") {
            IoctlAction::Kind k = a == "get"   ? IoctlAction::GET
                                  : a == "set" ? IoctlAction::SET
                                               : IoctlAction::VBATT;
            actions.push_back({k, {}});
            continue;
        }
        if (actions.empty() || actions.back().kind == IoctlAction::VBATT)
            throw usage("unexpected \"" + a + "\" (get, set or vbatt expected)");
        IoctlAction &act = actions.back();
        SCONFIG p = {0, 0};
        size_t eq = a.find('=');
        std::string name = a.substr(0, eq);
        if (!parse_param(name, p.Parameter)) throw usage("unknown parameter \"" + name + "\"");
        if (act.kind == IoctlAction::SET) {
            if (eq == std::string::npos) throw usage("set needs PARAM=VALUE, got \"" + a + "\"");
            if (!parse_u32(a.substr(eq + 1), 0xFFFFFFFFu, p.Value))
                throw usage("bad value in \"" + a + "\"");
        } else if (eq != std::string::npos) {
            throw usage("get takes parameter names only, got \"" + a + "\"");
        }
        act.params.push_back(p);
    }
    if (actions.empty()) throw usage("ioctl needs get, set or vbatt");
    for (const IoctlAction &act : actions)
        if (act.kind != IoctlAction::VBATT && act.params.empty())
            throw usage(std::string(act.kind == IoctlAction::GET ? "get" : "set") +
                        " needs at least one parameter");
    return actions;
}

std::vector<Frame> parse_send_frames(const Options &o) {
    std::vector<Frame> frames;
    std::string why;
    for (const std::string &a : o.args) {
        Frame f;
        if (!parse_frame(a, f, why)) throw usage(why);
        if (f.data.size() > max_payload(o.protocol))
            throw usage("frame \"" + a + "\" has " + std::to_string(f.data.size()) +
                        " data bytes, " + protocol_name(o.protocol) + " takes at most " +
                        std::to_string(max_payload(o.protocol)));
        frames.push_back(std::move(f));
    }
    if (frames.empty()) throw usage("send needs at least one ID#DATA");
    return frames;
}

std::vector<uint8_t> parse_uds_request(const Options &o) {
    std::string joined;
    for (const std::string &a : o.args)
        joined += (joined.empty() ? "" : " ") + a;
    std::vector<uint8_t> req;
    std::string why;
    if (!parse_hex_bytes(joined, req, why)) throw usage(why);
    if (req.empty()) throw usage("uds needs the request bytes in hex");
    if (req.size() > MAX_ISO15765_DATA)
        throw usage("request longer than " + std::to_string(MAX_ISO15765_DATA) + " bytes");
    return req;
}

} // namespace

void validate(const Options &o) {
    const std::string &c = o.command;
    if (c == "monitor" || c == "send") {
        if (!o.has_protocol) throw usage(c + " needs -p PROTOCOL");
        if (!o.has_baud) throw usage(c + " needs -b BAUD");
    }
    if (c == "monitor" || c == "send") {
        for (const FilterSpec &f : o.filters) {
            if (is_iso15765(o.protocol) && !f.has_flow)
                throw usage(protocol_name(o.protocol) + " filters need MASK:PATTERN:FLOWID");
            if (!is_iso15765(o.protocol) && f.has_flow)
                throw usage("FLOWID is for ISO 15765 protocols only");
            if (!is_can_id_protocol(o.protocol))
                throw usage("--filter is for CAN-identifier protocols only");
        }
        if (c == "monitor" && is_iso15765(o.protocol) && o.filters.empty())
            throw usage("monitor on " + protocol_name(o.protocol) +
                        " needs --filter MASK:PATTERN:FLOWID");
        if (c == "monitor" && !o.args.empty()) throw usage("unexpected \"" + o.args[0] + "\"");
        if (c == "monitor" && o.has_count && o.count == 0) throw usage("-n needs a count above 0");
    }
    if (c == "send") {
        if (!is_can_id_protocol(o.protocol))
            throw usage("send takes CAN-identifier protocols (CAN, ISO15765, ...)");
        parse_send_frames(o);
    }
    if (c == "uds") {
        if (!o.has_tx || !o.has_rx) throw usage("uds needs --tx ID and --rx ID");
        parse_uds_request(o);
    }
    if (c == "ioctl") parse_ioctl_actions(o);
    if (c == "info" && !o.args.empty()) throw usage("unexpected \"" + o.args[0] + "\"");
}

int run_info(Context &ctx) {
    const Api &api = ctx.api;
    Device dev(api, ctx.opt.device);
    char fw[256] = {}, dll[256] = {}, apiv[256] = {};
    check(api, "PassThruReadVersion", api.ReadVersion(dev.id(), fw, dll, apiv));

    // The status query is our extension: a library or VCI without it is no failure of info.
    uint16_t tp = 0;
    uint32_t mem = 0, mv = 0;
    int32_t st = ERR_NOT_SUPPORTED;
    if (api.Status) {
        st = api.Status(dev.id() << 16, &tp, &mem, &mv);
        if (st != ERR_NOT_SUPPORTED) check(api, "PassThruStatus", st);
    }
    dev.close();

    const std::string name = ctx.opt.device.empty() ? "(configured device)" : ctx.opt.device;
    if (ctx.opt.json) {
        json_add_str(ctx.result, "device", name);
        json_add_str(ctx.result, "library_path", api.path);
        json_add_str(ctx.result, "firmware", fw);
        json_add_str(ctx.result, "library", dll);
        json_add_str(ctx.result, "api", apiv);
        if (st == STATUS_NOERROR) {
            cJSON *s = cJSON_AddObjectToObject(ctx.result, "status");
            json_add_num(s, "tp", tp);
            json_add_num(s, "mem", mem);
            json_add_num(ctx.result, "battery_mv", mv);
        } else {
            cJSON_AddNullToObject(ctx.result, "status");
            cJSON_AddNullToObject(ctx.result, "battery_mv");
            json_add_str(ctx.result, "status_error", api.Status ? status_name(st) : "no export");
        }
        return EXIT_OK;
    }
    fprintf(out(), "device    %s\n", name.c_str());
    fprintf(out(), "firmware  %s\n", fw);
    fprintf(out(), "library   %s (%s)\n", dll, api.path.c_str());
    fprintf(out(), "api       %s\n", apiv);
    if (st == STATUS_NOERROR) {
        fprintf(out(), "status    tp:%u mem:%u\n", tp, mem);
        fprintf(out(), "battery   %s\n", volts(mv).c_str());
    } else if (api.Status) {
        fprintf(out(), "status    not supported (%s)\n", status_name(st).c_str());
    } else {
        fprintf(out(), "status    not available (the library has no PassThruStatus)\n");
    }
    return EXIT_OK;
}

int run_monitor(Context &ctx) {
    const Options &o = ctx.opt;
    const auto deadline =
        o.has_seconds
            ? Clock::now() + std::chrono::microseconds(static_cast<int64_t>(o.seconds * 1e6))
            : Clock::time_point::max();
    Device dev(ctx.api, o.device);
    Channel ch(ctx.api, dev, o.protocol, o.has_flags ? o.flags : CAN_ID_BOTH, o.baud);
    if (o.filters.empty() && is_can_id_protocol(o.protocol)) {
        FilterSpec all; // mask 0: every identifier passes
        start_filters(ctx, ch, {all});
    } else {
        start_filters(ctx, ch, o.filters);
    }

    std::vector<pt_msg_t> buf(READ_BATCH);
    uint32_t got = 0;
    bool gone = false;
    while (!interrupted() && !gone && (!o.has_count || got < o.count)) {
        uint32_t wait = READ_SLICE_MS;
        if (o.has_seconds) {
            if (Clock::now() >= deadline) break;
            wait = std::min(wait, ms_until(deadline));
        }
        size_t want = o.has_count ? o.count - got : buf.size();
        uint32_t n = read_some(ctx, ch, buf, want, wait);
        for (uint32_t i = 0; i < n; ++i)
            print_msg(ctx, buf[i]);
        got += n;
        gone = stdout_gone();
    }
    ch.disconnect();
    dev.close();
    if (o.has_count && got < o.count && !interrupted() && !gone)
        throw Failure(EXIT_NO_ANSWER, "monitor: " + std::to_string(got) + " of " +
                                          std::to_string(o.count) + " messages within " +
                                          seconds_text(o.seconds) + " s");
    return EXIT_OK;
}

int run_send(Context &ctx) {
    const Options &o = ctx.opt;
    std::vector<Frame> frames = parse_send_frames(o);
    bool any_ext = false, any_std = false;
    for (const Frame &f : frames)
        (f.id.ext ? any_ext : any_std) = true;

    Device dev(ctx.api, o.device);
    Channel ch(ctx.api, dev, o.protocol, connect_flags(o, any_ext, any_std), o.baud);
    start_filters(ctx, ch, o.filters);

    size_t sent = 0;
    std::vector<pt_msg_t> batch;
    for (size_t start = 0; start < frames.size(); start += WRITE_BATCH) {
        check_interrupt();
        size_t k = std::min(WRITE_BATCH, frames.size() - start);
        batch.resize(k);
        for (size_t i = 0; i < k; ++i)
            batch[i] = *can_msg(o.protocol, frames[start + i].id, frames[start + i].data, 0);
        uint32_t n = static_cast<uint32_t>(k);
        check(ctx.api, "PassThruWriteMsgs",
              ctx.api.WriteMsgs(ch.id(), batch.data(), &n, WRITE_TIMEOUT_MS));
        sent += n;
        if (n < k) {
            Failure f(EXIT_CALL_FAILED, "PassThruWriteMsgs accepted " + std::to_string(sent) +
                                            " of " + std::to_string(frames.size()) + " messages");
            json_add_num(ctx.result, "sent", static_cast<double>(sent));
            throw f;
        }
    }
    ch.disconnect();
    dev.close();
    if (o.json) {
        json_add_num(ctx.result, "sent", static_cast<double>(sent));
    } else {
        fprintf(out(), "sent %zu message%s on %s at %u\n", sent, sent == 1 ? "" : "s",
                protocol_name(o.protocol).c_str(), o.baud);
    }
    return EXIT_OK;
}

int run_uds(Context &ctx) {
    const Options &o = ctx.opt;
    const std::vector<uint8_t> req = parse_uds_request(o);
    const uint32_t tx_flags = o.pad ? TXFLAG_PAD : 0;

    Device dev(ctx.api, o.device);
    Channel ch(ctx.api, dev, ISO15765,
               connect_flags(o, o.tx.ext || o.rx.ext, !o.tx.ext || !o.rx.ext), o.baud);
    FilterSpec fc;
    fc.mask = o.rx.ext ? 0x1FFFFFFF : 0x7FF;
    fc.pattern = o.rx;
    fc.has_flow = true;
    fc.flow = o.tx;
    start_filters(ctx, ch, {fc});

    auto msg = can_msg(ISO15765, o.tx, req, tx_flags);
    uint32_t n = 1;
    check(ctx.api, "PassThruWriteMsgs",
          ctx.api.WriteMsgs(ch.id(), msg.get(), &n, WRITE_TIMEOUT_MS));
    if (o.json) {
        json_add_str(ctx.result, "tx", id_text(o.tx));
        json_add_str(ctx.result, "rx", id_text(o.rx));
        json_add_str(ctx.result, "request", hex(req, ""));
    } else {
        fprintf(out(), "> %s  %s\n", id_text(o.tx).c_str(), hex(req, " ").c_str());
        fflush(out());
    }

    const double seconds = o.has_seconds ? o.seconds : UDS_DEFAULT_SECONDS;
    auto deadline = Clock::now() + std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6));
    std::vector<pt_msg_t> buf(8);
    std::vector<uint8_t> answer;
    int pending = 0;
    while (answer.empty() && Clock::now() < deadline) {
        check_interrupt();
        uint32_t got =
            read_some(ctx, ch, buf, buf.size(), std::min(READ_SLICE_MS, ms_until(deadline)));
        for (uint32_t i = 0; i < got && answer.empty(); ++i) {
            const pt_msg_t &m = buf[i];
            const uint32_t size = std::min<uint32_t>(m.DataSize, PT_MSG_DATA_SIZE);
            if (size <= 4 || (m.RxStatus & RX_INDICATIONS) || get_id(m.Data) != o.rx.id) continue;
            std::vector<uint8_t> a(m.Data + 4, m.Data + size);
            if (a.size() >= 3 && a[0] == UDS_NEGATIVE && a[1] == req[0] && a[2] == UDS_PENDING) {
                ++pending;
                if (!o.json)
                    fprintf(out(), "< %s  %s  (response pending)\n", id_text(o.rx).c_str(),
                            hex(a, " ").c_str());
                deadline = Clock::now() + std::chrono::microseconds(
                                              static_cast<int64_t>(UDS_PENDING_SECONDS * 1e6));
                continue;
            }
            answer = std::move(a);
        }
    }
    ch.disconnect();
    dev.close();
    if (answer.empty())
        throw Failure(EXIT_NO_ANSWER, "no answer from " + id_text(o.rx) + " within " +
                                          seconds_text(seconds) + " s");

    const bool negative = answer[0] == UDS_NEGATIVE && answer.size() >= 3;
    std::string vin;
    static const uint8_t VIN_READ[] = {0x22, 0xF1, 0x90};
    static const uint8_t VIN_ANSWER[] = {0x62, 0xF1, 0x90};
    if (req.size() == 3 && std::equal(req.begin(), req.end(), VIN_READ) &&
        answer.size() == 3 + VIN_LENGTH && std::equal(VIN_ANSWER, VIN_ANSWER + 3, answer.begin())) {
        vin.assign(answer.begin() + 3, answer.end());
        for (char &c : vin)
            if (c < 0x20 || c > 0x7E) c = '.';
    }
    if (o.json) {
        json_add_str(ctx.result, "response", hex(answer, ""));
        cJSON_AddBoolToObject(ctx.result, "positive", !negative && answer[0] == (req[0] | 0x40));
        if (pending) json_add_num(ctx.result, "pending", pending);
        if (negative) {
            json_add_num(ctx.result, "nrc", answer[2]);
            json_add_str(ctx.result, "nrc_name", nrc_name(answer[2]));
        }
        if (!vin.empty()) json_add_str(ctx.result, "vin", vin);
    } else {
        fprintf(out(), "< %s  %s\n", id_text(o.rx).c_str(), hex(answer, " ").c_str());
        if (!vin.empty()) fprintf(out(), "VIN  %s\n", vin.c_str());
    }
    if (negative) {
        char buf2[128];
        std::string name = nrc_name(answer[2]);
        snprintf(buf2, sizeof buf2, "negative response 0x%02X%s%s%s to service %02X", answer[2],
                 name.empty() ? "" : " (", name.c_str(), name.empty() ? "" : ")", answer[1]);
        throw Failure(EXIT_NEGATIVE, buf2);
    }
    return EXIT_OK;
}

int run_ioctl(Context &ctx) {
    const Options &o = ctx.opt;
    std::vector<IoctlAction> actions = parse_ioctl_actions(o);
    const uint32_t protocol = o.has_protocol ? o.protocol : CAN;

    Device dev(ctx.api, o.device);
    Channel ch(ctx.api, dev, protocol, o.has_flags ? o.flags : 0, o.baud);
    cJSON *got = nullptr, *set = nullptr;
    for (IoctlAction &act : actions) {
        check_interrupt();
        if (act.kind == IoctlAction::VBATT) {
            uint32_t mv = 0;
            check(ctx.api, "PassThruIoctl(READ_VBATT)",
                  ctx.api.Ioctl(ch.id(), READ_VBATT, nullptr, &mv));
            if (o.json)
                json_add_num(ctx.result, "vbatt_mv", mv);
            else
                fprintf(out(), "VBATT=%s\n", volts(mv).c_str());
            continue;
        }
        SCONFIG_LIST list = {static_cast<uint32_t>(act.params.size()), act.params.data()};
        const bool is_get = act.kind == IoctlAction::GET;
        check(ctx.api, is_get ? "PassThruIoctl(GET_CONFIG)" : "PassThruIoctl(SET_CONFIG)",
              ctx.api.Ioctl(ch.id(), is_get ? GET_CONFIG : SET_CONFIG, &list, nullptr));
        cJSON *&group = is_get ? got : set;
        if (o.json && !group) group = cJSON_AddObjectToObject(ctx.result, is_get ? "get" : "set");
        for (const SCONFIG &p : act.params) {
            const std::string name = param_name(p.Parameter);
            if (o.json)
                json_add_num(group, name.c_str(), p.Value);
            else
                fprintf(out(), "%s=%u%s\n", name.c_str(), p.Value, is_get ? "" : " (set)");
        }
    }
    ch.disconnect();
    dev.close();
    return EXIT_OK;
}

} // namespace vkpt
