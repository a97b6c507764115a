/*
 * read_uid: connects to a reader and prints the UID, ATQA and SAK of the card in its field.
 *
 *   read_uid [READER]
 *
 * READER is "a.b.c.d:port" for a reader on the network (default 127.0.0.1:4711), or a serial
 * reader: "COMn" or a device path such as /dev/ttyUSB0 or a pseudo-terminal.
 */
#include <stdio.h>
#include <string.h>

#include "KestrelAPI.h"

static int fail(const char* what, int32_t code) {
    fprintf(stderr, "%s failed: %d (%s)\n", what, (int)code, GetErrorText(code));
    return 1;
}

int main(int argc, char** argv) {
    const char* reader = argc > 1 ? argv[1] : "127.0.0.1:4711";
    const int serial = strchr(reader, ':') == NULL;

    KestrelSession* session = CreateSession(0);
    if (session == NULL) return fail("CreateSession", KESTREL_ERR_NOT_ENOUGH_MEMORY);

    int32_t r = ConnectReaderEx(session, serial ? INTERFACE_RS232 : INTERFACE_TCP, reader, 0,
                                serial ? 115200 : 0);
    if (r != KESTREL_OK) {
        ReleaseSession(session, 0);
        return fail("ConnectReaderEx", r);
    }

    uint8_t uid[10];
    uint8_t uidLength = sizeof uid; /* capacity in, length out */
    uint16_t atqa = 0;
    uint8_t sak = 0;
    r = SelectIdleCard(session, uid, &uidLength, &atqa, &sak);
    if (r != KESTREL_OK) {
        ReleaseSession(session, 0);
        return fail("SelectIdleCard", r);
    }

    printf("UID ");
    for (int i = 0; i < uidLength; ++i) printf("%02X", uid[i]);
    printf("  ATQA %04X  SAK %02X\n", atqa, sak);

    HaltCard(session);
    DisconnectReader(session);
    ReleaseSession(session, 0);
    return 0;
}
