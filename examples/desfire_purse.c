/*
 * desfire_purse: a small stored-value scenario on a DESFire card.
 *
 *   desfire_purse [READER]
 *
 * Creates application 0x4B5301 with one key (two-key triple DES, still all zeros) and a
 * value file (number 1, values enciphered, limits 0 to 10000) in it, authenticates with the
 * application key, credits 500, debits 120, commits the transaction and prints the balance.
 * An application left by an earlier run is deleted first (with the card master key, the
 * factory key of 16 zero bytes). READER defaults to 127.0.0.1:4711, for example:
 *
 *   kestrel-sim --tcp 127.0.0.1:4711 --card desfire &
 *   desfire_purse 127.0.0.1:4711
 */
#include <stdio.h>
#include <string.h>

#include "KestrelAPI.h"

#define PURSE_AID 0x4B5301u
#define PURSE_FILE 1

static int check(const char* what, int32_t r) {
    if (r != KESTREL_OK) fprintf(stderr, "%s: %d (%s)\n", what, (int)r, GetErrorText(r));
    return r == KESTREL_OK;
}

int main(int argc, char** argv) {
    const char* reader = argc > 1 ? argv[1] : "127.0.0.1:4711";
    const int serial = strchr(reader, ':') == NULL;
    const uint8_t zeroKey[DF_KEY_LENGTH] = {0};
    uint8_t sessionKey[DF_KEY_LENGTH];
    /* Read and debit with key 0, credit with key 0, change: never. */
    const uint8_t rights[4] = {0x00, 0x00, 0x00, DF_ACCESS_NEVER};
    uint32_t balance = 0;
    int ok = 0;

    KestrelSession* session = CreateSession(0);
    if (session == NULL) return 1;
    if (!check("connect", ConnectReaderEx(session, serial ? INTERFACE_RS232 : INTERFACE_TCP, reader,
                                          0, serial ? 115200 : 0)) ||
        !check("DF_Connect", DF_Connect(session))) {
        goto done;
    }

    /* The card level: authenticate with the master key, start from a clean application. */
    if (!check("authenticate card", DF_AuthKey(session, 0, zeroKey, sessionKey))) goto done;
    DF_DeleteApp(session, PURSE_AID); /* fails harmlessly when there is none */
    if (!check("create application", DF_CreateApp(session, PURSE_AID, 0x0F, 1)) ||
        !check("select application", DF_SelectApp(session, PURSE_AID)) ||
        !check("authenticate application", DF_AuthKey(session, 0, zeroKey, sessionKey)) ||
        !check("create value file", DF_CreateValueFile(session, PURSE_FILE, DF_COMM_ENCIPHERED,
                                                       rights, 0, 10000, 0, 0))) {
        goto done;
    }

    /* One transaction: credit and debit become visible together at the commit. */
    if (!check("credit", DF_Credit(session, PURSE_FILE, DF_COMM_ENCIPHERED, 500, sessionKey)) ||
        !check("debit", DF_Debit(session, PURSE_FILE, DF_COMM_ENCIPHERED, 120, sessionKey)) ||
        !check("commit", DF_Commit(session)) ||
        !check("read balance",
               DF_GetValue(session, PURSE_FILE, DF_COMM_ENCIPHERED, &balance, sessionKey))) {
        goto done;
    }
    printf("balance %u\n", (unsigned)balance);
    ok = 1;

done:
    DF_FreeData(session);
    ReleaseSession(session, 0);
    return ok ? 0 : 1;
}
