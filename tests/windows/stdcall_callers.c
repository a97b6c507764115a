/* A C program that uses KestrelAPI.dll the way a 32-bit Windows application does: through the
 * import library, with __stdcall functions and __stdcall callbacks (frame log, interface and
 * reader lists, the DESFire application list), several hundred calls in a loop.
 *
 * A caller and a callee that disagree on who removes the arguments from the stack move the
 * stack pointer by the argument bytes at every call. The loop notes the stack pointer at the
 * same point of every round; it has to stay where it was, through the library's calls and
 * through the callbacks the library makes into this program.
 *
 * Needs the virtual readers of scripts/with-sim.sh (KESTREL_SIM_CLASSIC, KESTREL_SIM_DESFIRE).
 * Exit status 0 when every check held. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "KestrelAPI.h"

enum { kRounds = 60 };

static int failures = 0;

#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                                   \
        }                                                                                 \
    } while (0)

/* The stack pointer of the calling function's frame. */
#if defined(__i386__)
#define STACK_POINTER(sp) __asm__ volatile("movl %%esp, %0" : "=r"(sp))
#elif defined(__x86_64__)
#define STACK_POINTER(sp) __asm__ volatile("movq %%rsp, %0" : "=r"(sp))
#else
#define STACK_POINTER(sp) ((sp) = 0)
#endif

/* --- callbacks ------------------------------------------------------------------------- */

struct LogCounts {
    uint32_t magic;
    unsigned sent;
    unsigned received;
    unsigned bytes;
};

static void KESTREL_CALL OnSend(uintptr_t context, const uint8_t* frame, int32_t length) {
    struct LogCounts* counts = (struct LogCounts*)context;
    CHECK(counts->magic == 0x4C4F4721u);
    CHECK(frame != NULL && length > 0);
    counts->sent++;
    counts->bytes += (unsigned)length;
}

static void KESTREL_CALL OnReceive(uintptr_t context, const uint8_t* frame, int32_t length) {
    struct LogCounts* counts = (struct LogCounts*)context;
    CHECK(counts->magic == 0x4C4F4721u);
    CHECK(frame != NULL && length > 0);
    counts->received++;
    counts->bytes += (unsigned)length;
}

struct InterfaceList {
    unsigned seen;
    int32_t types[4];
};

static uint8_t KESTREL_CALL OnInterface(uintptr_t context, const char* description, int32_t type) {
    struct InterfaceList* list = (struct InterfaceList*)context;
    CHECK(description != NULL && strstr(description, "interface") != NULL);
    if (list->seen < 4) list->types[list->seen] = type;
    list->seen++;
    return 1;
}

static uint8_t KESTREL_CALL OnReader(uintptr_t context, const char* name) {
    unsigned* count = (unsigned*)context;
    CHECK(name != NULL);
    (*count)++;
    return 1;
}

struct AppList {
    unsigned seen;
    int found;
};

static uint8_t KESTREL_CALL OnApp(uintptr_t userValue, uint32_t aid) {
    struct AppList* list = (struct AppList*)userValue;
    list->seen++;
    if (aid == 0x00E2E2) list->found = 1;
    return 1;
}

/* --- the rounds -------------------------------------------------------------------------- */

static const char* Address(const char* variable) {
    const char* address = getenv(variable);
    if (address == NULL || *address == '\0') {
        fprintf(stderr, "%s is not set: run through scripts/with-sim.sh\n", variable);
        exit(2);
    }
    return address;
}

/* One round against the MIFARE Classic reader: about a dozen calls. */
static void ClassicRound(KestrelSession* session) {
    static const MifareKey key = {KEY_TYPE_A, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
    static const uint8_t expectedUid[4] = {0xA1, 0xB2, 0xC3, 0xD4};
    uint8_t uid[10];
    uint8_t uidLength = sizeof uid;
    uint16_t atqa = 0;
    uint8_t sak = 0;
    uint8_t block[16];
    uintptr_t data = 0;
    uint32_t flags = 0;
    uint8_t count = 0;

    CHECK(RfReset(session, 5) == KESTREL_OK);
    CHECK(SelectIdleCard(session, uid, &uidLength, &atqa, &sak) == KESTREL_OK);
    CHECK(uidLength == 4 && memcmp(uid, expectedUid, 4) == 0 && atqa == 0x0004 && sak == 0x08);
    CHECK(MifC_ReadBlockAuth(session, &key, uid, 4, block) == KESTREL_OK);
    CHECK(MifC_ReadBlock(session, 5, block) == KESTREL_OK);
    CHECK(SetSessionUserData(session, (uintptr_t)&flags) == KESTREL_OK);
    CHECK(GetSessionUserData(session, &data) == KESTREL_OK && data == (uintptr_t)&flags);
    CHECK(GetSessionFlags(session, &flags) == KESTREL_OK);
    CHECK(strcmp(GetErrorText(KESTREL_ERR_NO_SESSION), "ERROR: no session") == 0);
    CHECK(MifC_GetSectorBlocksCount(33, &count) == KESTREL_OK && count == 16);
    CHECK(HaltCard(session) == KESTREL_OK);
}

/* One round against the DESFire reader: activation, version, authentication, listing. */
static void DesfireRound(KestrelSession* session, struct AppList* apps) {
    static const uint8_t zeroKey[16] = {0};
    uint8_t version[28];
    uint16_t length = sizeof version;
    uint8_t sessionKey[16];

    CHECK(RfReset(session, 5) == KESTREL_OK);
    CHECK(DF_Connect(session) == KESTREL_OK);
    CHECK(DF_GetVersion(session, version, &length) == KESTREL_OK && length == 28);
    CHECK(DF_SelectApp(session, 0) == KESTREL_OK);
    CHECK(DF_AuthKey(session, 0, zeroKey, sessionKey) == KESTREL_OK);
    apps->seen = 0;
    apps->found = 0;
    CHECK(DF_EnumApps(session, (uintptr_t)apps, OnApp) == KESTREL_OK);
    CHECK(apps->found == 1);
    CHECK(DF_Disconnect(session) == KESTREL_OK); /* DF_FreeData's second name */
}

int main(void) {
    struct LogCounts counts = {0x4C4F4721u, 0, 0, 0};
    struct InterfaceList interfaces;
    struct AppList apps = {0, 0};
    unsigned readers = 0;
    unsigned calls = 0;
    uintptr_t first = 0;
    int round;
    KestrelSession* classic;
    KestrelSession* desfire;
    static const uint8_t zeroKey[16] = {0};
    uint8_t sessionKey[16];

    memset(&interfaces, 0, sizeof interfaces);
    CHECK(GetSupportedCommInterfaces(OnInterface, (uintptr_t)&interfaces) == KESTREL_OK);
    CHECK(interfaces.seen == 3 && interfaces.types[0] == INTERFACE_RS232 &&
          interfaces.types[1] == INTERFACE_USB && interfaces.types[2] == INTERFACE_TCP);
    /* Wine has no HID readers and maybe no serial lines: the lists may be empty, but the calls
     * and their callbacks must come back with the stack as it was. */
    CHECK(EnumReaders(0x5678, INTERFACE_USB, OnReader, (uintptr_t)&readers) == KESTREL_OK);
    CHECK(EnumReaders(0, INTERFACE_RS232, OnReader, (uintptr_t)&readers) == KESTREL_OK);

    classic = CreateSession(0);
    desfire = CreateSession(0);
    CHECK(classic != NULL && desfire != NULL);
    if (classic == NULL || desfire == NULL) return 1;
    CHECK(ConnectReaderEx(classic, INTERFACE_TCP, Address("KESTREL_SIM_CLASSIC"), 0, 0) ==
          KESTREL_OK);
    CHECK(ConnectReaderEx(desfire, INTERFACE_TCP, Address("KESTREL_SIM_DESFIRE"), 0, 0) ==
          KESTREL_OK);
    CHECK(RegisterLogMethods(classic, (uintptr_t)&counts, OnSend, OnReceive) == KESTREL_OK);
    CHECK(RegisterLogMethods(desfire, (uintptr_t)&counts, OnSend, OnReceive) == KESTREL_OK);

    /* An application for the listing callback to find. */
    CHECK(DF_Connect(desfire) == KESTREL_OK);
    CHECK(DF_AuthKey(desfire, 0, zeroKey, sessionKey) == KESTREL_OK);
    CHECK(DF_CreateApp(desfire, 0x00E2E2, 0x0F, 1) == KESTREL_OK);

    for (round = 0; round < kRounds && failures == 0; ++round) {
        uintptr_t sp;
        STACK_POINTER(sp);
        if (round == 0) first = sp;
        CHECK(sp == first);
        ClassicRound(classic);
        DesfireRound(desfire, &apps);
        calls += 11 + 8;
    }

    CHECK(DF_Connect(desfire) == KESTREL_OK);
    CHECK(DF_AuthKey(desfire, 0, zeroKey, sessionKey) == KESTREL_OK);
    CHECK(DF_DeleteApp(desfire, 0x00E2E2) == KESTREL_OK);
    CHECK(counts.sent > 0 && counts.sent == counts.received);
    CHECK(ReleaseSession(classic, 0) == KESTREL_OK);
    CHECK(ReleaseSession(desfire, 0) == KESTREL_OK);

    printf("%d rounds, %u calls, %u frames logged each way, stack pointer steady: %s\n", round,
           calls, counts.sent, failures == 0 ? "yes" : "no");
    return failures == 0 ? 0 : 1;
}
