/*
 * dump_classic: prints every block of the MIFARE Classic card in front of a reader.
 *
 *   dump_classic [READER] [KEYHEX] [A|B]
 *
 * READER is "a.b.c.d:port" or a serial reader ("COMn", a device path); default
 * 127.0.0.1:4711. KEYHEX is the six-byte key of every sector (default FFFFFFFFFFFF, the
 * transport key), authenticated as key A (default) or key B. A sector the key does not open
 * is reported and skipped. The card's size (1K: 16 sectors, 4K: 40) comes from its SAK.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "KestrelAPI.h"

static int parse_key(const char* hex, uint8_t key[6]) {
    if (strlen(hex) != 12) return 0;
    for (int i = 0; i < 6; ++i) {
        char pair[3] = {hex[2 * i], hex[2 * i + 1], 0};
        char* end = NULL;
        key[i] = (uint8_t)strtoul(pair, &end, 16);
        if (*end != 0) return 0;
    }
    return 1;
}

int main(int argc, char** argv) {
    const char* reader = argc > 1 ? argv[1] : "127.0.0.1:4711";
    MifareKey key = {KEY_TYPE_A, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
    if (argc > 2 && !parse_key(argv[2], key.key)) {
        fprintf(stderr, "the key must be 12 hex digits\n");
        return 2;
    }
    if (argc > 3) key.type = (argv[3][0] == 'B' || argv[3][0] == 'b') ? KEY_TYPE_B : KEY_TYPE_A;

    KestrelSession* session = CreateSession(0);
    const int serial = strchr(reader, ':') == NULL;
    int32_t r = ConnectReaderEx(session, serial ? INTERFACE_RS232 : INTERFACE_TCP, reader, 0,
                                serial ? 115200 : 0);
    uint8_t uid[10];
    uint8_t uidLength = sizeof uid;
    uint16_t atqa = 0;
    uint8_t sak = 0;
    if (r == KESTREL_OK) r = SelectIdleCard(session, uid, &uidLength, &atqa, &sak);
    if (r != KESTREL_OK) {
        fprintf(stderr, "no card: %d (%s)\n", (int)r, GetErrorText(r));
        ReleaseSession(session, 0);
        return 1;
    }
    const int sectors = (sak & 0x10) ? 40 : 16;
    printf("UID ");
    for (int i = 0; i < uidLength; ++i) printf("%02X", uid[i]);
    printf("  ATQA %04X  SAK %02X  %d sectors\n", atqa, sak, sectors);

    for (int sector = 0; sector < sectors; ++sector) {
        uint8_t first = 0;
        uint8_t count = 0;
        MifC_GetSectorFirstBlock((uint8_t)sector, &first);
        MifC_GetSectorBlocksCount((uint8_t)sector, &count);
        /* One activation and authentication per sector; the reads then need no key. */
        r = MifC_AuthSectorSingle(session, &key, (uint8_t)sector);
        if (r != KESTREL_OK) {
            printf("Sector %2d: %s\n", sector, GetErrorText(r));
            continue;
        }
        printf("Sector %2d\n", sector);
        for (int b = 0; b < count; ++b) {
            uint8_t data[16];
            r = MifC_ReadBlock(session, (uint8_t)(first + b), data);
            printf("  %3d  ", first + b);
            if (r != KESTREL_OK) {
                printf("%s\n", GetErrorText(r));
                continue;
            }
            for (int i = 0; i < 16; ++i) printf("%02X%s", data[i], i == 15 ? "\n" : " ");
        }
    }
    DisconnectReader(session);
    ReleaseSession(session, 0);
    return 0;
}
