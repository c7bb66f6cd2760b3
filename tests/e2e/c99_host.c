/* A C99 host: the public header compiles cleanly and the library links and answers. */
#include <j2534vk/j2534vk.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    pt_msg_t msgs[3];
    char text[80];
    int failures = 0;
    if ((char *)&msgs[1].ProtocolID - (char *)&msgs[0].ProtocolID != 4152) failures++;
    if (PassThruGetLastError(NULL) != ERR_NULL_PARAMETER) failures++;
    if (PassThruGetLastError(text) != STATUS_NOERROR) failures++;
    if (PassThruLogicalConnect(0, 0, 0, NULL, NULL) != ERR_NOT_SUPPORTED) failures++;
    if (PassThruSelect(NULL, 0, 0) != ERR_NOT_SUPPORTED) failures++;
    if (PassThruClose(16) != ERR_INVALID_DEVICE_ID) failures++;
    memset(msgs, 0, sizeof msgs);
    printf("c99 host: %d failures\n", failures);
    return failures ? 1 : 0;
}
