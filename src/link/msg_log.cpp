#include "link/msg_log.h"

#include "log/j2534_log_fmt.h"

std::string msg_list(const pt_msg_t *msgs, uint32_t count, bool tx) {
    std::string list;
    char line[MSG_LINE_SIZE];
    for (uint32_t i = 0; i < count; ++i) {
        log_msg_line(line, sizeof line, msgs[i], tx);
        list += "\n\t";
        list += line;
    }
    return list;
}
