// Ioctl: one command 0x4A per supported identifier.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "link/j2534_com.h"
#include "link/wire.h"
#include "log/j2534_log.h"
#include "log/j2534_log_fmt.h"

namespace {

constexpr uint8_t J2534_CMD_IOCTL = 0x4A;

constexpr uint32_t IOCTL_PAYLOAD_MAX = 6000;
constexpr uint32_t IOCTL_RESP_MAX = 6000;
constexpr uint32_t IOCTL_HEADER = 8; // channel u16, ioctl u16, count u32
constexpr uint32_t CONFIG_PAIR = 8;
constexpr uint32_t PARAM_RECORD = 12;
constexpr uint32_t MAX_CONFIG_PAIRS = (IOCTL_PAYLOAD_MAX - IOCTL_HEADER) / CONFIG_PAIR;   // 749
constexpr uint32_t MAX_PARAM_RECORDS = (IOCTL_PAYLOAD_MAX - IOCTL_HEADER) / PARAM_RECORD; // 499
constexpr uint32_t MAX_BYTE_ARRAY = IOCTL_PAYLOAD_MAX - IOCTL_HEADER;                     // 5992

constexpr uint32_t FAST_INIT_DATA_MAX = 260;
constexpr uint32_t TX_RECORD_HEADER = 12; // ProtocolID, TxFlags, sizes u16
constexpr uint32_t RX_FRAME_HEADER = 16;  // ProtocolID, RxStatus, Timestamp, sizes u16
constexpr uint32_t U32_ANSWER = IOCTL_HEADER + 4;
constexpr uint32_t VBATT_PIN = 16;
constexpr uint32_t FIVE_BAUD_KEY_BYTES = 2;
constexpr uint32_t FIVE_BAUD_KEY_OFFSET = 10;
constexpr uint32_t ISO13400_RECORD = 40;
constexpr uint32_t HSFZ_RECORD = 8;
constexpr uint32_t SUPPORTED = 1;

constexpr uint32_t WAIT_DEFAULT = 0; // the link's command time-out
constexpr uint32_t WAIT_INIT_MS = 2000;
constexpr uint32_t WAIT_LONG_MS = 5000;
constexpr uint32_t WAIT_TCP_MS = 15000;

constexpr size_t CALL_TEXT_SIZE = 256;
constexpr size_t LIST_TEXT_SIZE = 10000;

enum class FailLine { COMMON, SHORT };

// One ioctl in progress: call text, request, answer and the log lines they share.
struct Call {
    Call(J2534_com &link, uint32_t chan, uint32_t ioctl_id, uint32_t wait, FailLine fail)
        : com(link), channel(chan), wait_ms(wait), fail_line(fail) {
        ioctl_to_string(name, sizeof name, ioctl_id);
        snprintf(text, sizeof text, "io %u %s", channel, name);
        put_u16le(req, static_cast<uint16_t>(channel));
        put_u16le(req + 2, static_cast<uint16_t>(ioctl_id));
        put_u32le(req + 4, 0);
    }

    uint8_t *data() { return req + IOCTL_HEADER; }
    const uint8_t *answer() const { return resp + IOCTL_HEADER; }
    uint32_t answer_count() const { return get_u32le(resp + 4); }

    // Sends the header with `count` and `data_len` bytes of data; resp_len is what
    // arrived, cut to the room. Bytes an answer lacks read as 0.
    int32_t send(uint32_t count, uint32_t data_len) {
        put_u32le(req + 4, count);
        memset(resp, 0, sizeof resp);
        uint32_t len = sizeof resp;
        int32_t status = com.send_command(J2534_CMD_IOCTL, req, IOCTL_HEADER + data_len, resp, &len,
                                          wait_ms, &elapsed);
        resp_len = len < sizeof resp ? len : static_cast<uint32_t>(sizeof resp);
        return status;
    }

    struct Reason {
        char text[LAST_ERROR_SIZE];
    };
    Reason reason() {
        Reason r;
        com.copy_last_error(r.text, sizeof r.text);
        return r;
    }

    int32_t null_argument() {
        com.set_last_err(ERR_NULL_PARAMETER);
        log_line(com.log_slot(), 'E', com.log_tag(), "%s > %s\n", text, reason().text);
        return ERR_NULL_PARAMETER;
    }

    int32_t too_many(uint32_t n, uint32_t limit) {
        com.set_last_err(ERR_INVALID_IOCTL_VALUE);
        log_line(com.log_slot(), 'E', com.log_tag(), "%s > %s (%u > %u)\n", text, reason().text, n,
                 limit);
        return ERR_INVALID_IOCTL_VALUE;
    }

    int32_t bad_byte_count(uint32_t n) {
        com.set_last_err(ERR_INVALID_IOCTL_VALUE);
        log_line(com.log_slot(), 'E', com.log_tag(), "%s > %s (%u байт)\n", text, reason().text, n);
        return ERR_INVALID_IOCTL_VALUE;
    }

    int32_t failed(int32_t status) {
        if (fail_line == FailLine::SHORT)
            log_line(com.log_slot(), 'E', com.log_tag(), "ioctl > %s %ums\n", reason().text,
                     elapsed);
        else
            log_line(com.log_slot(), 'E', com.log_tag(), "%s > %s %ums\n", text, reason().text,
                     elapsed);
        return status;
    }

    int32_t ok() {
        log_line(com.log_slot(), 'I', com.log_tag(), "%s > ok %ums\n", text, elapsed);
        return STATUS_NOERROR;
    }

    J2534_com &com;
    uint32_t channel;
    uint32_t wait_ms;
    FailLine fail_line;
    char name[IOCTL_NAME_SIZE];
    char text[CALL_TEXT_SIZE];
    uint8_t req[IOCTL_PAYLOAD_MAX];
    uint8_t resp[IOCTL_RESP_MAX];
    uint32_t resp_len = 0;
    uint32_t elapsed = 0;
};

// Items joined by "|", cut at the buffer's end.
class ListText {
  public:
    const char *sep() { return items_++ ? "|" : ""; }

    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        size_t room = sizeof buf_ - len_;
        if (room <= 1) return;
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf_ + len_, room, fmt, ap);
        va_end(ap);
        if (n > 0) len_ += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
    }

    const char *c_str() const { return buf_; }

  private:
    char buf_[LIST_TEXT_SIZE] = "";
    size_t len_ = 0;
    unsigned items_ = 0;
};

void add_config_pair(ListText &list, const SCONFIG &pair) {
    char param[PARAM_NAME_SIZE];
    ioctl_param_to_string(param, sizeof param, pair.Parameter);
    list.add("%s%s:%u", list.sep(), param, pair.Value);
}

// Checks a configuration list and packs its pairs. A list without pairs is refused
// silently, as hosts probe with it.
int32_t pack_config(Call &c, const SCONFIG_LIST *list) {
    if (!list) return c.null_argument();
    if (list->NumOfParams == 0 || !list->ConfigPtr) return ERR_NULL_PARAMETER;
    if (list->NumOfParams > MAX_CONFIG_PAIRS)
        return c.too_many(list->NumOfParams, MAX_CONFIG_PAIRS);
    for (uint32_t i = 0; i < list->NumOfParams; ++i) {
        put_u32le(c.data() + i * CONFIG_PAIR, list->ConfigPtr[i].Parameter);
        put_u32le(c.data() + i * CONFIG_PAIR + 4, list->ConfigPtr[i].Value);
    }
    return STATUS_NOERROR;
}

int32_t get_config(Call &c, void *input, void *) {
    auto *list = static_cast<SCONFIG_LIST *>(input);
    int32_t status = pack_config(c, list);
    if (status != STATUS_NOERROR) return status;
    uint32_t n = list->NumOfParams;
    status = c.send(n, n * CONFIG_PAIR);
    if (status != STATUS_NOERROR) return c.failed(status);
    if (c.resp_len < IOCTL_HEADER + n * CONFIG_PAIR)
        return c.com.set_last_error("%s: answer too short (%u bytes for %u pairs)", c.name,
                                    c.resp_len, n);

    ListText pairs;
    for (uint32_t i = 0; i < n; ++i) {
        SCONFIG &dst = list->ConfigPtr[i];
        dst.Parameter = get_u32le(c.answer() + i * CONFIG_PAIR);
        dst.Value = get_u32le(c.answer() + i * CONFIG_PAIR + 4);
        add_config_pair(pairs, dst);
    }
    log_line(c.com.log_slot(), 'I', c.com.log_tag(), "%s > %s %ums\n", c.text, pairs.c_str(),
             c.elapsed);
    return STATUS_NOERROR;
}

int32_t set_config(Call &c, void *input, void *) {
    auto *list = static_cast<const SCONFIG_LIST *>(input);
    int32_t status = pack_config(c, list);
    if (status != STATUS_NOERROR) return status;
    uint32_t n = list->NumOfParams;
    ListText pairs;
    for (uint32_t i = 0; i < n; ++i)
        add_config_pair(pairs, list->ConfigPtr[i]);

    status = c.send(n, n * CONFIG_PAIR);
    if (status != STATUS_NOERROR) {
        log_line(c.com.log_slot(), 'E', c.com.log_tag(), "%s %s > %s %ums\n", c.text, pairs.c_str(),
                 c.reason().text, c.elapsed);
        return status;
    }
    log_line(c.com.log_slot(), 'I', c.com.log_tag(), "%s %s > ok %ums\n", c.text, pairs.c_str(),
             c.elapsed);
    return STATUS_NOERROR;
}

// The battery voltage, always asked as READ_VBATT.
int32_t battery_voltage(Call &c, uint32_t *millivolts) {
    put_u16le(c.req + 2, READ_VBATT);
    int32_t status = c.send(0, 0);
    if (status != STATUS_NOERROR) return c.failed(status);
    if (c.resp_len < U32_ANSWER)
        return c.com.set_last_error("%s: answer too short (%u bytes)", c.name, c.resp_len);
    uint32_t mv = get_u32le(c.answer());
    *millivolts = mv;
    log_line(c.com.log_slot(), 'I', c.com.log_tag(), "%s > v:%i.%i %ums\n", c.text,
             static_cast<int>(mv / 1000), static_cast<int>(mv % 1000 / 100), c.elapsed);
    return STATUS_NOERROR;
}

int32_t read_vbatt(Call &c, void *, void *output) {
    if (!output) return c.null_argument();
    return battery_voltage(c, static_cast<uint32_t *>(output));
}

// Only the battery pin can be measured.
int32_t read_pin_voltage(Call &c, void *input, void *output) {
    if (!input || !output) return c.null_argument();
    if (*static_cast<const uint32_t *>(input) != VBATT_PIN) {
        c.com.set_last_err(ERR_PIN_NOT_SUPPORTED);
        log_line(c.com.log_slot(), 'E', c.com.log_tag(), "%s > ERR_PIN_INVALID\n", c.text);
        return ERR_PIN_NOT_SUPPORTED;
    }
    return battery_voltage(c, static_cast<uint32_t *>(output));
}

int32_t five_baud_init(Call &c, void *input, void *output) {
    auto *in = static_cast<const SBYTE_ARRAY *>(input);
    auto *out = static_cast<SBYTE_ARRAY *>(output);
    if (!in || !out || !out->BytePtr || (in->NumOfBytes && !in->BytePtr)) return c.null_argument();
    if (in->NumOfBytes > MAX_BYTE_ARRAY) return c.bad_byte_count(in->NumOfBytes);
    if (in->NumOfBytes) memcpy(c.data(), in->BytePtr, in->NumOfBytes);
    int32_t status = c.send(in->NumOfBytes, in->NumOfBytes);
    if (status != STATUS_NOERROR) return c.failed(status);
    out->NumOfBytes = FIVE_BAUD_KEY_BYTES;
    memcpy(out->BytePtr, c.resp + FIVE_BAUD_KEY_OFFSET, FIVE_BAUD_KEY_BYTES);
    return c.ok();
}

int32_t fast_init(Call &c, void *input, void *output) {
    auto *in = static_cast<const pt_msg_t *>(input);
    auto *out = static_cast<pt_msg_t *>(output);
    uint32_t count = 0;
    uint32_t len = 0;
    if (in) {
        if (in->DataSize > FAST_INIT_DATA_MAX) {
            c.com.set_last_err(ERR_INVALID_MSG);
            log_line(c.com.log_slot(), 'E', c.com.log_tag(), "%s > %s 0ms\n", c.text,
                     c.reason().text);
            return ERR_INVALID_MSG;
        }
        uint8_t *r = c.data();
        put_u32le(r, in->ProtocolID);
        put_u32le(r + 4, in->TxFlags);
        put_u16le(r + 8, static_cast<uint16_t>(in->DataSize));
        put_u16le(r + 10, static_cast<uint16_t>(in->ExtraDataIndex));
        memcpy(r + TX_RECORD_HEADER, in->Data, in->DataSize);
        count = 1;
        len = TX_RECORD_HEADER + in->DataSize;
    }
    if (out) out->DataSize = 0;

    int32_t status = c.send(count, len);
    if (status != STATUS_NOERROR) return c.failed(status);
    if (c.answer_count() != 0) {
        if (!out) return c.com.set_last_err(ERR_NULL_PARAMETER);
        const uint8_t *f = c.answer();
        uint32_t size = get_u16le(f + 12);
        if (size > PT_MSG_DATA_SIZE || IOCTL_HEADER + RX_FRAME_HEADER + size > c.resp_len)
            return c.com.set_last_error("%s: bad answer frame (data_size %u, %u bytes received)",
                                        c.name, size, c.resp_len);
        out->ProtocolID = get_u32le(f);
        out->RxStatus = get_u32le(f + 4);
        out->Timestamp = get_u32le(f + 8);
        out->DataSize = size;
        out->ExtraDataIndex = get_u16le(f + 14);
        memcpy(out->Data, f + RX_FRAME_HEADER, size);
    }
    return c.ok();
}

int32_t header_only(Call &c, void *, void *) {
    int32_t status = c.send(0, 0);
    if (status != STATUS_NOERROR) return c.failed(status);
    return c.ok();
}

int32_t clear_rx_buffer(Call &c, void *, void *) {
    int32_t status = c.send(0, 0);
    // What was fetched before the clear must not be read after it, whatever the VCI says.
    c.com.rx_cache_clear(c.channel);
    if (status != STATUS_NOERROR) return c.failed(status);
    return c.ok();
}

int32_t byte_array(Call &c, void *input, void *) {
    auto *in = static_cast<const SBYTE_ARRAY *>(input);
    if (!in) return c.null_argument();
    if (!in->BytePtr || in->NumOfBytes == 0 || in->NumOfBytes > MAX_BYTE_ARRAY)
        return c.bad_byte_count(in->NumOfBytes);
    memcpy(c.data(), in->BytePtr, in->NumOfBytes);
    int32_t status = c.send(in->NumOfBytes, in->NumOfBytes);
    if (status != STATUS_NOERROR) return c.failed(status);
    return c.ok();
}

int32_t become_master(Call &c, void *input, void *) {
    if (!input) return c.null_argument();
    uint8_t poll_id = *static_cast<const uint8_t *>(input);
    c.data()[0] = poll_id;
    int32_t status = c.send(1, 1);
    if (status != STATUS_NOERROR) {
        log_line(c.com.log_slot(), 'E', c.com.log_tag(), "%s poll_id:%02X > %s %ums\n", c.text,
                 poll_id, c.reason().text, c.elapsed);
        return status;
    }
    log_line(c.com.log_slot(), 'I', c.com.log_tag(), "%s poll_id:%02X > ok %ums\n", c.text, poll_id,
             c.elapsed);
    return STATUS_NOERROR;
}

// GET_DEVICE_INFO and GET_PROTOCOL_INFO: the answer's records go back into the input list.
int32_t param_info(Call &c, void *input, void *) {
    auto *list = static_cast<SPARAM_LIST *>(input);
    if (!list || list->NumOfParams == 0 || !list->ParamPtr) return c.null_argument();
    uint32_t n = list->NumOfParams;
    if (n > MAX_PARAM_RECORDS) return c.too_many(n, MAX_PARAM_RECORDS);
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t *r = c.data() + i * PARAM_RECORD;
        put_u32le(r, list->ParamPtr[i].Parameter);
        put_u32le(r + 4, list->ParamPtr[i].Value);
        put_u32le(r + 8, list->ParamPtr[i].Supported);
    }
    int32_t status = c.send(n, n * PARAM_RECORD);
    if (status != STATUS_NOERROR) return c.failed(status);

    uint32_t k = c.answer_count() < n ? c.answer_count() : n;
    if (c.resp_len < IOCTL_HEADER + PARAM_RECORD * k)
        return c.com.set_last_error("%s: ответ обрезан (%u байт на %u параметров)", c.name,
                                    c.resp_len, k);
    ListText records;
    for (uint32_t i = 0; i < k; ++i) {
        const uint8_t *r = c.answer() + i * PARAM_RECORD;
        SPARAM &dst = list->ParamPtr[i];
        dst.Parameter = get_u32le(r);
        dst.Value = get_u32le(r + 4);
        dst.Supported = get_u32le(r + 8);
        records.add("%s%02X:%u%s", records.sep(), dst.Parameter, dst.Value,
                    dst.Supported == SUPPORTED ? "" : "(NS)");
    }
    log_line(c.com.log_slot(), 'I', c.com.log_tag(), "%s > %s %ums\n", c.text, records.c_str(),
             c.elapsed);
    return STATUS_NOERROR;
}

// ISO13400_DISCOVER and ISO13400_ROUTING: an optional u32 comes back.
int32_t optional_u32(Call &c, void *, void *output) {
    int32_t status = c.send(0, 0);
    if (status != STATUS_NOERROR) return c.failed(status);
    if (output && c.resp_len >= U32_ANSWER)
        *static_cast<uint32_t *>(output) = get_u32le(c.answer());
    return c.ok();
}

// Records of the GET_INFO ioctls, copied only when the caller's room holds them all.
int32_t get_info(Call &c, void *output, uint32_t record) {
    auto *out = static_cast<SBYTE_ARRAY *>(output);
    if (!out) return c.null_argument();
    int32_t status = c.send(0, 0);
    if (status != STATUS_NOERROR) return c.failed(status);

    uint32_t r = c.answer_count();
    uint64_t need = static_cast<uint64_t>(r) * record;
    if (IOCTL_HEADER + need > c.resp_len)
        return c.com.set_last_error("%s: answer too short (%u bytes for %u records)", c.name,
                                    c.resp_len, r);
    uint32_t bytes = static_cast<uint32_t>(need);
    if (!out->BytePtr || out->NumOfBytes < bytes) {
        out->NumOfBytes = bytes;
        c.com.set_last_err(ERR_BUFFER_TOO_SMALL);
        log_line(c.com.log_slot(), 'E', c.com.log_tag(), "%s > %s (need %u bytes) %ums\n", c.text,
                 c.reason().text, bytes, c.elapsed);
        return ERR_BUFFER_TOO_SMALL;
    }
    if (bytes) memcpy(out->BytePtr, c.answer(), bytes);
    out->NumOfBytes = bytes;
    log_line(c.com.log_slot(), 'I', c.com.log_tag(), "%s > count:%u %ums\n", c.text, r, c.elapsed);
    return STATUS_NOERROR;
}

int32_t iso13400_info(Call &c, void *, void *output) {
    return get_info(c, output, ISO13400_RECORD);
}
int32_t hsfz_info(Call &c, void *, void *output) {
    return get_info(c, output, HSFZ_RECORD);
}

using Handler = int32_t (*)(Call &c, void *input, void *output);

struct IoctlEntry {
    uint32_t id;
    Handler handler;
    uint32_t wait_ms;
    FailLine fail_line;
};

constexpr IoctlEntry kIoctls[] = {
    {GET_CONFIG, get_config, WAIT_DEFAULT, FailLine::COMMON},
    {SET_CONFIG, set_config, WAIT_DEFAULT, FailLine::COMMON},
    {READ_VBATT, read_vbatt, WAIT_DEFAULT, FailLine::COMMON},
    {FIVE_BAUD_INIT, five_baud_init, WAIT_LONG_MS, FailLine::COMMON},
    {FAST_INIT, fast_init, WAIT_INIT_MS, FailLine::SHORT},
    {CLEAR_TX_BUFFER, header_only, WAIT_DEFAULT, FailLine::SHORT},
    {CLEAR_RX_BUFFER, clear_rx_buffer, WAIT_DEFAULT, FailLine::SHORT},
    {CLEAR_PERIODIC_MSGS, header_only, WAIT_DEFAULT, FailLine::SHORT},
    {CLEAR_MSG_FILTERS, header_only, WAIT_DEFAULT, FailLine::SHORT},
    {CLEAR_FUNCT_MSG_LOOKUP_TABLE, header_only, WAIT_DEFAULT, FailLine::SHORT},
    {SW_CAN_HS, header_only, WAIT_DEFAULT, FailLine::SHORT},
    {SW_CAN_NS, header_only, WAIT_DEFAULT, FailLine::SHORT},
    {SET_POLL_RESPONSE, byte_array, WAIT_LONG_MS, FailLine::SHORT},
    {BECOME_MASTER, become_master, WAIT_LONG_MS, FailLine::COMMON},
    {PROTECT_J1939_ADDR, byte_array, WAIT_LONG_MS, FailLine::SHORT},
    {REQUEST_CONNECTION, byte_array, WAIT_LONG_MS, FailLine::SHORT},
    {TEARDOWN_CONNECTION, byte_array, WAIT_LONG_MS, FailLine::SHORT},
    {GET_DEVICE_INFO, param_info, WAIT_DEFAULT, FailLine::COMMON},
    {GET_PROTOCOL_INFO, param_info, WAIT_DEFAULT, FailLine::COMMON},
    {READ_J1962PIN_VOLTAGE, read_pin_voltage, WAIT_DEFAULT, FailLine::COMMON},
    {ISO13400_DISCOVER, optional_u32, WAIT_LONG_MS, FailLine::COMMON},
    {ISO13400_GET_INFO, iso13400_info, WAIT_DEFAULT, FailLine::COMMON},
    {ISO13400_TCP, header_only, WAIT_TCP_MS, FailLine::COMMON},
    {ISO13400_ROUTING, optional_u32, WAIT_LONG_MS, FailLine::COMMON},
    {HSFZ_DISCOVER, header_only, WAIT_TCP_MS, FailLine::COMMON},
    {HSFZ_GET_INFO, hsfz_info, WAIT_DEFAULT, FailLine::COMMON},
    {HSFZ_TCP, header_only, WAIT_TCP_MS, FailLine::COMMON},
};

const IoctlEntry *find_ioctl(uint32_t id) {
    for (const IoctlEntry &e : kIoctls)
        if (e.id == id) return &e;
    return nullptr;
}

} // namespace

int32_t J2534_com::ioctl(uint32_t channel, uint32_t ioctl_id, void *input, void *output) {
    const IoctlEntry *entry = find_ioctl(ioctl_id);
    if (!entry) {
        set_last_err(ERR_INVALID_IOCTL_VALUE);
        log_line(dev_index, 'E', tag, "ioctl %04X > %s\n", ioctl_id, error_text().text);
        return ERR_INVALID_IOCTL_VALUE;
    }
    Call call(*this, channel, ioctl_id,
              entry->wait_ms == WAIT_DEFAULT ? timeout_ms : entry->wait_ms, entry->fail_line);
    return entry->handler(call, input, output);
}
