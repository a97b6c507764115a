/*
 * KestrelAPI.h - the public interface of KestrelAPI.
 *
 * KestrelAPI drives contactless card readers (ISO/IEC 14443 A/B, 13.56 MHz) and the cards
 * in front of them, over a serial port, USB HID or TCP. This header is the whole interface:
 * plain C functions, result codes, records and callback types. It is usable from C and C++.
 *
 * Read this first
 * ---------------
 * Sessions. CreateSession() returns a handle; ConnectReaderEx() attaches a reader to it;
 *   every other function takes the handle first; DisconnectReader() and ReleaseSession()
 *   end it. A null handle gives KESTREL_ERR_NO_SESSION, a pointer that is not a live session
 *   (as far as the library can tell) KESTREL_ERR_INVALID_SESSION, a session without a reader
 *   KESTREL_ERR_NO_READER.
 *
 * Threads. The library starts no threads and takes no locks. Every call blocks until the
 *   reader has answered or a time-out has run out. Use one session from one thread at a
 *   time; different sessions may be used from different threads at once.
 *
 * Buffers. A caller buffer always travels with its capacity. Where the library reports a
 *   length back it takes a pointer: on entry it holds the capacity, on return the length.
 *   The library never writes past the capacity; an answer that does not fit gives a result
 *   code instead. Buffers of a fixed size (a 16-byte block, a 4-byte serial, the 28 bytes of
 *   DF_GetVersionI()) are sized at their function and never receive more, whatever the reader
 *   or the card sends. One function trusts the card instead: DF_ReadRecords() with *count 0
 *   writes as much as the card sends; DF_ReadRecordsEx() is its bounded form.
 *
 * Time-outs are in milliseconds. The default exchange time-out with the reader is 2000 ms.
 *
 * Results. Every function returns 0 on success or a result code (int32_t), except where its
 *   description says otherwise. Codes fall into ranges by the layer that produced them:
 *     1001-1998  serial line (and read/write failures of any interface)
 *     3001-3998  USB
 *     5001-5998, 6001-6998  link-protocol message tables (few are produced)
 *     7001-7998  block framing between host and reader
 *     8001-8998  API and card answers mapped from the reader's status byte
 *     0xA001-0xAFFE  DESFire (0xA100 + card status, 0xA2xx the library's own)
 *   Anything else is an operating-system error number passed through unchanged (errno on
 *   POSIX, for example from a TCP connection), or -1. GetErrorText() gives an English text
 *   for every code.
 *
 * Context words. Values the library only stores and hands back to the application (session
 *   user data, log context, enumeration callback contexts) are uintptr_t: wide enough to hold
 *   a pointer on every platform.
 */
#ifndef KESTREL_API_H
#define KESTREL_API_H

#include <stddef.h>
#include <stdint.h>

#define KESTREL_VERSION_MAJOR 1
#define KESTREL_VERSION_MINOR 0
#define KESTREL_VERSION_PATCH 0
/* One number for compile-time feature tests: 0xMMmmpp. */
#define KESTREL_VERSION \
    ((KESTREL_VERSION_MAJOR << 16) | (KESTREL_VERSION_MINOR << 8) | KESTREL_VERSION_PATCH)

/* Calling convention: __stdcall on 32-bit Windows, the platform default elsewhere. It
 * stands on every function and every callback type. */
#if defined(_WIN32) && !defined(_WIN64)
#define KESTREL_CALL __stdcall
#else
#define KESTREL_CALL
#endif

#if defined(KESTREL_STATIC)
/* The library's objects linked straight into a program, or a DLL whose exports a
 * module-definition file names. */
#define KESTREL_EXPORT
#elif defined(_WIN32)
#if defined(KESTREL_BUILDING_LIBRARY)
#define KESTREL_EXPORT __declspec(dllexport)
#else
#define KESTREL_EXPORT __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KESTREL_EXPORT __attribute__((visibility("default")))
#else
#define KESTREL_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------
 * Constants
 * ---------------------------------------------------------------------------------------- */

/* Interface types for ConnectReaderEx() and EnumReaders(). INTERFACE_USB reaches readers
 * attached as USB HID devices with the vendor id the library was built for (build option
 * READER_VENDOR_ID) and the product id given as reader type. */
#define INTERFACE_RS232 1
#define INTERFACE_USB 4
#define INTERFACE_TCP 8

/* Reader type that selects a reader with the RF-scan commands; any other value selects the
 * standard reader. For USB readers the reader type is also the USB product id. */
#define READER_TYPE_RFSCAN 4096

/* MIFARE Classic key types. */
#define KEY_TYPE_A 0x60
#define KEY_TYPE_B 0x61

/* ISO/IEC 14443-3 request codes. */
#define REQUEST_CODE_IDLE 0x26 /* REQA: idle cards only */
#define REQUEST_CODE_ALL 0x52  /* WUPA: idle and halted cards */

/* Result codes. */
#define KESTREL_OK 0

/* Serial line (1001-1998). */
#define KESTREL_ERR_RS232_INVALID_PORT 1002
#define KESTREL_ERR_RS232_INVALID_BAUD_RATE 1003
#define KESTREL_ERR_RS232_WRITE 1004
#define KESTREL_ERR_RS232_READ 1005
#define KESTREL_ERR_RS232_PARITY 1006
#define KESTREL_ERR_RS232_FLUSH 1007
#define KESTREL_ERR_RS232_OPEN 1008
#define KESTREL_ERR_RS232_PORT_IN_USE 1009
#define KESTREL_ERR_RS232_CONFIGURE 1010

/* USB (3001-3998). */
#define KESTREL_ERR_USB_NO_HID_NODE 3001
#define KESTREL_ERR_USB_DEVICE_NOT_FOUND 3002
#define KESTREL_ERR_USB_DEVICE_NOT_FOUND_2 3003
#define KESTREL_ERR_USB_PARSED_DATA_CORRUPTED 3004
#define KESTREL_ERR_USB_NO_DEVICE_INFO 3005

/* Link-protocol message tables (5001-5998, 6001-6998). */
#define KESTREL_ERR_LINK_WRONG_CRC_ALGORITHM 5001
#define KESTREL_ERR_LINK_WRONG_NR_SIZE 5002
#define KESTREL_ERR_LINK_BAD_RX_TIME 5003
#define KESTREL_ERR_LINK_BAD_TX_TIME 5004
#define KESTREL_ERR_LINK_NO_DLE 5020
#define KESTREL_ERR_LINK_NO_STX 5021
#define KESTREL_ERR_LINK_TOO_LONG_DATA 5022
#define KESTREL_ERR_LINK_UNEXPECTED_DATA 5023
#define KESTREL_ERR_LINK_PROTOCOL_OVERFLOW 5024 /* reader status -3 */
#define KESTREL_ERR_LINK_CRC 5025               /* reader status -2 */
#define KESTREL_ERR_TLP224_UNKNOWN_COMMAND 6001
#define KESTREL_ERR_TLP224_DRIVER_LIMIT 6002
#define KESTREL_ERR_TLP224_BAD_ARGUMENT 6003
#define KESTREL_ERR_TLP224_PROTOCOL 6004
#define KESTREL_ERR_TLP224_WRONG_ATTRIBUTE 6005
#define KESTREL_ERR_TLP224_UNKNOWN_INSTRUCTION 6006
#define KESTREL_ERR_TLP224_MESSAGE_TOO_LONG 6007
#define KESTREL_ERR_TLP224_CANNOT_READ_CARD 6008
#define KESTREL_ERR_TLP224_CARD_OFF 6009
#define KESTREL_ERR_TLP224_CARD_WRONG_VOLTAGE 6010
#define KESTREL_ERR_TLP224_PROTOCOL_NOT_APPLICABLE 6011
#define KESTREL_ERR_TLP224_WRONG_LENGTH 6012
#define KESTREL_ERR_TLP224_WRONG_PARAMETER_COUNT 6013
#define KESTREL_ERR_TLP224_UNKNOWN_CARD 6014
#define KESTREL_ERR_TLP224_CARD_MUTE 6015
#define KESTREL_ERR_TLP224_CARD_PARITY 6016
#define KESTREL_ERR_TLP224_CARD_PROCEDURE_BYTE 6017
#define KESTREL_ERR_TLP224_TRANSFER_INTERRUPTED 6018
#define KESTREL_ERR_TLP224_CARD_REMOVED 6019
#define KESTREL_ERR_TLP224_INTERFERENCE 6020
#define KESTREL_ERR_TLP224_NO_CARD 6021
#define KESTREL_ERR_TLP224_CANNOT_READ_CARD_2 6022
#define KESTREL_ERR_TLP224_TRANSFER_FAILED 6023
#define KESTREL_ERR_TLP224_WRITE_FAILED 6024
#define KESTREL_ERR_TLP224_RESPONSE_TOO_LONG 6025
#define KESTREL_ERR_TLP224_READER_MUTE 6026
#define KESTREL_ERR_TLP224_READER_STATUS 6027
#define KESTREL_ERR_TLP224_NONFATAL 6028
#define KESTREL_ERR_TLP224_CHAINING 6029
#define KESTREL_ERR_WRONG_ANSWER_LENGTH 6030 /* a DESFire answer of the wrong length */
#define KESTREL_ERR_TLP224_WRONG_NUMBER 6032
#define KESTREL_ERR_TLP224_CRC 6033

/* Block framing between host and reader (7001-7998). */
#define KESTREL_ERR_FRAME_CRC 7001 /* wrong CRC or wrong sequence echo */
#define KESTREL_ERR_FRAME_BAD_FRAME 7002
#define KESTREL_ERR_FRAME_CARD_TIMEOUT 7003
#define KESTREL_ERR_FRAME_COLLISION 7004
#define KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT 7005 /* a reader answer of unexpected length */
#define KESTREL_ERR_FRAME_RESPONSE_TOO_LONG 7006

/* API and card answers (8001-8998). */
#define KESTREL_ERR_NO_CARD 8001
#define KESTREL_ERR_AUTH_NOT_ALLOWED 8002
#define KESTREL_ERR_WRONG_CARD 8003
#define KESTREL_ERR_AUTH_EXPECTED 8004
#define KESTREL_ERR_CARD_BIT 8005
#define KESTREL_ERR_CARD_BYTE 8006
#define KESTREL_ERR_IDLE_STATE_CARD 8007
#define KESTREL_ERR_WRITE_FAILED 8008 /* also: a reader status byte without a meaning */
#define KESTREL_ERR_AFTER_POLLING 8009
#define KESTREL_ERR_NO_SESSION 8010
#define KESTREL_ERR_INVALID_SESSION 8011
#define KESTREL_ERR_NO_DIRECTORY_KEYS 8012
#define KESTREL_ERR_NOT_ENOUGH_MEMORY 8013
#define KESTREL_ERR_INVALID_DIRECTORY_PLUGIN 8014
#define KESTREL_ERR_NO_MAD 8015
#define KESTREL_ERR_MAD_MONO_APPLICATION 8016
#define KESTREL_ERR_APPLICATION_EXISTS 8017
#define KESTREL_ERR_APPLICATION_NO_SECTORS 8018
#define KESTREL_ERR_NO_UNUSED_SECTOR_KEYS 8019
#define KESTREL_ERR_NO_APPLICATION_KEYS 8020
#define KESTREL_ERR_NO_APPLICATIONS 8021
#define KESTREL_ERR_READER_NOT_SUPPORTED 8022
#define KESTREL_ERR_COMMAND_NOT_SUPPORTED 8023
#define KESTREL_ERR_NO_READER_NAME 8024
#define KESTREL_ERR_NO_READER_TYPE 8025
#define KESTREL_ERR_NOT_CONNECTED 8026
#define KESTREL_ERR_INTERFACE_NOT_SUPPORTED 8027
#define KESTREL_ERR_INVALID_KEYS 8028
#define KESTREL_ERR_NO_READER 8029
#define KESTREL_ERR_VALUE_CORRUPTED 8030
#define KESTREL_ERR_WRONG_PARAMETER 8031 /* bad argument, or an answer of unexpected size */
#define KESTREL_ERR_NO_BUFFER 8032
#define KESTREL_ERR_VALUE_ADDRESS_CORRUPTED 8033
#define KESTREL_ERR_READING_TOO_MUCH 8034
#define KESTREL_ERR_VALUE_ADDRESS_MISMATCH 8035
#define KESTREL_ERR_UNKNOWN_COMMAND 8036
#define KESTREL_ERR_UNKNOWN_CARD 8037
#define KESTREL_ERR_READER_TIMEOUT 8038
#define KESTREL_ERR_INVALID_DATA_ACL 8039
#define KESTREL_ERR_INVALID_TRAILER_ACL 8040
#define KESTREL_ERR_SOCKET 8041 /* the TCP peer closed the connection, or a send stalled */
#define KESTREL_ERR_INVALID_SECTOR 8043
#define KESTREL_ERR_OPERATION_ABORTED 8044
#define KESTREL_ERR_ISO14443_4_NOT_SUPPORTED 8045
#define KESTREL_ERR_ISO14443_4_FRAME_TOO_SMALL 8046
#define KESTREL_ERR_BUFFER_SIZE 8047

/* DESFire (0xA001-0xAFFE): 0xA100 + the card's status byte, and the library's own. */
#define KESTREL_ERR_DF_CARD_STATUS_BASE 0xA100
#define KESTREL_ERR_DF_NO_CHANGES 0xA10C
#define KESTREL_ERR_DF_OUT_OF_EEPROM 0xA10E
#define KESTREL_ERR_DF_ILLEGAL_COMMAND 0xA11C
#define KESTREL_ERR_DF_INTEGRITY 0xA11E
#define KESTREL_ERR_DF_NO_SUCH_KEY 0xA140
#define KESTREL_ERR_DF_LENGTH 0xA17E
#define KESTREL_ERR_DF_PERMISSION_DENIED 0xA19D
#define KESTREL_ERR_DF_PARAMETER 0xA19E
#define KESTREL_ERR_DF_APPLICATION_NOT_FOUND 0xA1A0
#define KESTREL_ERR_DF_APPLICATION_INTEGRITY 0xA1A1
#define KESTREL_ERR_DF_AUTHENTICATION 0xA1AE
#define KESTREL_ERR_DF_ADDITIONAL_FRAME 0xA1AF
#define KESTREL_ERR_DF_BOUNDARY 0xA1BE
#define KESTREL_ERR_DF_PICC_INTEGRITY 0xA1C1
#define KESTREL_ERR_DF_COMMAND_ABORTED 0xA1CA
#define KESTREL_ERR_DF_PICC_DISABLED 0xA1CD
#define KESTREL_ERR_DF_COUNT 0xA1CE
#define KESTREL_ERR_DF_DUPLICATE 0xA1DE
#define KESTREL_ERR_DF_EEPROM 0xA1EE
#define KESTREL_ERR_DF_FILE_NOT_FOUND 0xA1F0
#define KESTREL_ERR_DF_FILE_INTEGRITY 0xA1F1
#define KESTREL_ERR_DF_NO_DESFIRE_SESSION 0xA201
#define KESTREL_ERR_DF_NO_SESSION_KEY 0xA202
#define KESTREL_ERR_DF_BAD_MAC 0xA203
#define KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS 0xA204
#define KESTREL_ERR_DF_BAD_CRC 0xA205
#define KESTREL_ERR_DF_BAD_OPERATION_ID 0xA206
#define KESTREL_ERR_DF_UNKNOWN 0xA2FF

/* ------------------------------------------------------------------------------------------
 * Types
 * ---------------------------------------------------------------------------------------- */

/* A session handle. Opaque: only the library looks inside. */
typedef struct KestrelSession KestrelSession;

/* Frame log callback: called with every frame written to the reader (send log) or read
 * from it (receive log), header and CRC included, before the library checks it. The frame
 * memory is valid only during the call. */
typedef void(KESTREL_CALL* LogMethod)(uintptr_t logContext, const uint8_t* frame, int32_t length);

/* ------------------------------------------------------------------------------------------
 * Sessions and connection
 * ---------------------------------------------------------------------------------------- */

/* Creates a disconnected session. reserved is ignored. Returns the handle, or NULL when
 * memory runs out. */
KESTREL_EXPORT KestrelSession* KESTREL_CALL CreateSession(uint32_t reserved);

/* Disconnects the session and frees it; the handle is invalid afterwards. reserved is
 * ignored. 0, or KESTREL_ERR_NO_SESSION / KESTREL_ERR_INVALID_SESSION. */
KESTREL_EXPORT int32_t KESTREL_CALL ReleaseSession(KestrelSession* session, uint32_t reserved);

/* Connects a reader: ConnectReaderEx() with param 115200. */
KESTREL_EXPORT int32_t KESTREL_CALL ConnectReader(KestrelSession* session, int32_t interfaceType,
                                                  const char* readerName, int32_t readerType);

/* Connects a reader, first disconnecting whatever the session held. Nothing is sent to the
 * reader while connecting.
 *   interfaceType  INTERFACE_RS232, INTERFACE_USB or INTERFACE_TCP
 *   readerName     RS232: "COMn" (the number after the first upper-case M) or a device path
 *                  starting with '/'; USB: "USB_n", n the index among the attached readers
 *                  with the product id (the number after the first four characters);
 *                  TCP: "a.b.c.d:port" (dotted IPv4 address only)
 *   readerType     READER_TYPE_RFSCAN or any other value for the standard reader; for USB
 *                  also the product id of the reader
 *   param          RS232: baud rate (0 selects 57600); USB: stored, unused; TCP: ignored
 * Returns 0, or the failure of building or opening the interface: KESTREL_ERR_NO_READER_NAME
 * for a NULL name, KESTREL_ERR_INTERFACE_NOT_SUPPORTED, KESTREL_ERR_RS232_INVALID_PORT,
 * KESTREL_ERR_RS232_OPEN, -1 for a TCP name without ':' or a connection not made within
 * 2 seconds, an errno value such as ECONNREFUSED. When only the final open fails, the session
 * keeps its reader objects: later calls fail in the interface until the next connect or
 * DisconnectReader(). */
KESTREL_EXPORT int32_t KESTREL_CALL ConnectReaderEx(KestrelSession* session, int32_t interfaceType,
                                                    const char* readerName, int32_t readerType,
                                                    uint32_t param);

/* Closes the connection. 0, or KESTREL_ERR_NO_READER when nothing is connected. */
KESTREL_EXPORT int32_t KESTREL_CALL DisconnectReader(KestrelSession* session);

/* An application word kept with the session; needs no reader. */
KESTREL_EXPORT int32_t KESTREL_CALL SetSessionFlags(KestrelSession* session, uint32_t flags);
/* Reads the flags word. KESTREL_ERR_WRONG_PARAMETER for a NULL out pointer. */
KESTREL_EXPORT int32_t KESTREL_CALL GetSessionFlags(KestrelSession* session, uint32_t* flags);

/* An application word (wide enough for a pointer) kept with the session; needs a connected
 * reader (KESTREL_ERR_NO_READER otherwise) and survives reconnects. */
KESTREL_EXPORT int32_t KESTREL_CALL SetSessionUserData(KestrelSession* session, uintptr_t data);
/* Reads the user data word. KESTREL_ERR_WRONG_PARAMETER for a NULL out pointer. */
KESTREL_EXPORT int32_t KESTREL_CALL GetSessionUserData(KestrelSession* session, uintptr_t* data);

/* Registers the frame log callbacks of the connected reader; either may be NULL. They are
 * dropped by the next connect or disconnect. 0, or KESTREL_ERR_NO_READER. */
KESTREL_EXPORT int32_t KESTREL_CALL RegisterLogMethods(KestrelSession* session,
                                                       uintptr_t logContext, LogMethod sendLog,
                                                       LogMethod receiveLog);

/* ------------------------------------------------------------------------------------------
 * Interfaces and readers present
 *
 * Both functions need no session and report through a callback, one call per item; the
 * callback returns non-zero to go on, 0 to stop. The text handed to it is valid only during
 * the call.
 * ---------------------------------------------------------------------------------------- */

typedef uint8_t(KESTREL_CALL* CommInterfaceCallback)(uintptr_t context, const char* description,
                                                     int32_t interfaceType);
typedef uint8_t(KESTREL_CALL* EnumReadersCallback)(uintptr_t context, const char* readerName);

/* Reports the interfaces ConnectReaderEx() accepts: ("RS232 interface", INTERFACE_RS232),
 * ("USB interface", INTERFACE_USB), ("TCP interface", INTERFACE_TCP), in this order. 0 (also
 * when stopped early), or KESTREL_ERR_WRONG_PARAMETER for a NULL callback. */
KESTREL_EXPORT int32_t KESTREL_CALL GetSupportedCommInterfaces(CommInterfaceCallback callback,
                                                               uintptr_t context);

/* Reports the names of the readers that ConnectReaderEx() can connect on one interface.
 *   INTERFACE_RS232  "COMn" for each serial line of the COM table (COM1-COM32 /dev/ttyS0-31,
 *                    COM33-COM64 /dev/ttyUSB0-31, COM65-COM96 /dev/ttyACM0-31) that exists
 *                    and can be opened now, in COM order; each is opened and closed once, so
 *                    a line held open elsewhere is left out. productId is ignored.
 *   INTERFACE_USB    "USB_0", "USB_1", ... for the attached HID devices with the library's
 *                    vendor id and productId, in the system's enumeration order.
 * 0, KESTREL_ERR_INTERFACE_NOT_SUPPORTED for any other interface type (no callback),
 * KESTREL_ERR_WRONG_PARAMETER for a NULL callback, KESTREL_ERR_USB_NO_HID_NODE when the HID
 * device list is not available. */
KESTREL_EXPORT int32_t KESTREL_CALL EnumReaders(uint32_t productId, int32_t interfaceType,
                                                EnumReadersCallback callback, uintptr_t context);

/* ------------------------------------------------------------------------------------------
 * Result texts
 * ---------------------------------------------------------------------------------------- */

/* An English text for any result code; never NULL. Texts of the library's own codes are
 * constant. Operating-system texts (for codes outside the library's ranges) live in a
 * buffer of the calling thread, valid until that thread's next such call; a code the
 * system does not know gives "unknown error". */
KESTREL_EXPORT const char* KESTREL_CALL GetErrorText(int32_t code);

/* ------------------------------------------------------------------------------------------
 * ISO/IEC 14443 Type A activation
 *
 * ATQA: the two answer bytes to a request, first byte low. SAK: the select acknowledge
 * (bit 0x20: the card speaks ISO/IEC 14443-4). Serial: the four UID bytes of one cascade
 * level. UID: up to 10 bytes, with its length byte passed by pointer.
 * ---------------------------------------------------------------------------------------- */

/* Sends WUPA (idle and halted cards answer). *atqa receives the answer. A reader answer that
 * is not exactly 2 bytes gives KESTREL_ERR_WRONG_PARAMETER; no card gives KESTREL_ERR_NO_CARD. */
KESTREL_EXPORT int32_t KESTREL_CALL REQUEST_ALL_CMD(KestrelSession* session, uint16_t* atqa);
/* Sends REQA (idle cards only); otherwise as REQUEST_ALL_CMD(). */
KESTREL_EXPORT int32_t KESTREL_CALL REQUEST_IDLE_CMD(KestrelSession* session, uint16_t* atqa);

/* Anticollision of the first cascade level. knownBits: how many bits of serial[0..3] are
 * already known (0 from a fresh request); serial (4 bytes) receives the card's serial. */
KESTREL_EXPORT int32_t KESTREL_CALL ExecAnticol(KestrelSession* session, uint8_t knownBits,
                                                uint8_t* serial);
/* The same function as ExecAnticol(). */
KESTREL_EXPORT int32_t KESTREL_CALL ANTICOLLISION_CMD(KestrelSession* session, uint8_t knownBits,
                                                      uint8_t* serial);

/* Selects the card with the 4-byte serial; *sak receives its SAK. Note the order: the SAK
 * pointer comes before the serial. */
KESTREL_EXPORT int32_t KESTREL_CALL SELECT_CMD(KestrelSession* session, uint8_t* sak,
                                               const uint8_t* serial);

/* Request, anticollision and select of an idle card in one reader command.
 *   uid        receives the UID (up to 10 bytes)
 *   uidLength  in: capacity of uid; out: the UID length
 * atqa and sak may be NULL when not wanted. An answer whose UID does not fit the capacity
 * gives KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT and leaves every output untouched. */
KESTREL_EXPORT int32_t KESTREL_CALL SelectIdleCard(KestrelSession* session, uint8_t* uid,
                                                   uint8_t* uidLength, uint16_t* atqa,
                                                   uint8_t* sak);

/* Wakes (also from halt) and selects the card whose UID is given (uidLength bytes, at most
 * passed to the reader as given). atqa and sak may be NULL. */
KESTREL_EXPORT int32_t KESTREL_CALL SelectWakeUpCard(KestrelSession* session, const uint8_t* uid,
                                                     const uint8_t* uidLength, uint16_t* atqa,
                                                     uint8_t* sak);

/* Puts the selected card into the halt state. */
KESTREL_EXPORT int32_t KESTREL_CALL HaltCard(KestrelSession* session);

/* Switches the RF field off for a while and on again; every card returns to idle. The
 * duration (low 16 bits used) is passed to the reader as it stands. */
KESTREL_EXPORT int32_t KESTREL_CALL RfReset(KestrelSession* session, uint32_t duration);

/* ------------------------------------------------------------------------------------------
 * ISO/IEC 14443-4
 *
 * A card whose SAK has bit 0x20 speaks the ISO/IEC 14443-4 block protocol once Request_ATS()
 * has activated it (ISO4PPS_Request() may follow). Messages (APDUs, DESFire commands) then
 * travel with Send_Raw_APDU() or R7XSend_APDU(): cut into I-blocks as the card's frame size
 * requires, chained both ways, with the card's requests for more time answered (there is no
 * limit on their number). An I-block whose exchange fails is retried once, after a pause of
 * one second, with R(NAK).
 *
 * Block number: a byte the caller keeps between calls, 0 for the first exchange after
 *   activation. Only bit 0 is read; a successful exchange replaces the byte with the number
 *   for the next one (0 or 1); a failed one leaves it as it was.
 * Frame size: the largest block the card accepts, CRC included (FSC, from its ATS). It must
 *   leave room for at least one information byte (5 or more, as a CID byte is sent) and not
 *   exceed 1024 (the library's block buffer); any other value gives
 *   KESTREL_ERR_WRONG_PARAMETER before anything is sent. Nothing is adjusted silently.
 * Card time-out: milliseconds; handed to the reader before each message.
 * Pointers a call needs (block number, lengths, status word, the context record, a buffer
 *   with a non-zero length or capacity) must not be NULL: KESTREL_ERR_WRONG_PARAMETER before
 *   anything is sent. A buffer of capacity 0 may be NULL.
 * Failures: KESTREL_ERR_OPERATION_ABORTED when the card answers with a block the protocol does
 *   not accept at that point (S(DESELECT), R(NAK), a block carrying a NAD, an R(ACK) or a
 *   request for more time while the answer is being received); KESTREL_ERR_READING_TOO_MUCH
 *   when the answer message does not fit the capacity (the buffer may be partly written, the
 *   length is not); KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT for a card block too short for its
 *   own header, before anything is copied; KESTREL_ERR_WRONG_PARAMETER for a card block longer
 *   than the frame size; any failure of the reader or the line as it came.
 * ---------------------------------------------------------------------------------------- */

/* Activates an idle card (as SelectIdleCard()) and sends RATS with `parameter` (FSDI in the
 * high nibble, CID in the low). ats receives the answer to select; atsLength: capacity in,
 * length out (kept, with nothing copied, when the ATS does not fit:
 * KESTREL_ERR_WRONG_PARAMETER). A card without ISO/IEC 14443-4 gives
 * KESTREL_ERR_ISO14443_4_NOT_SUPPORTED and gets no RATS. */
KESTREL_EXPORT int32_t KESTREL_CALL Request_ATS(KestrelSession* session, uint8_t parameter,
                                                uint16_t* atsLength, uint8_t* ats);
/* Request_ATS() after an RF reset (the activation of SelectCardEx()). */
KESTREL_EXPORT int32_t KESTREL_CALL V2_RequestATS(KestrelSession* session, uint8_t parameter,
                                                  uint16_t* atsLength, uint8_t* ats);

/* Sends PPS with the CID (low 4 bits used) and the divisor integers dsi and dri (sent as
 * given, dsi x 4 + dri in one byte). The card's answer is not judged. */
KESTREL_EXPORT int32_t KESTREL_CALL ISO4PPS_Request(KestrelSession* session, uint8_t cid,
                                                    uint8_t dsi, uint8_t dri);

/* Deselects the card (S(DESELECT) without CID); it needs a new activation afterwards. The
 * reader's exchange time-out goes to the reader as the card time-out. capacity: room for the
 * card's answer, which is dropped. */
KESTREL_EXPORT int32_t KESTREL_CALL Reset14443_4(KestrelSession* session, uint16_t capacity);

/* Sends one message (requestLength bytes of request) with CID 0 in every block and receives
 * the card's answer message into answer. answerLength: capacity in, length out. */
KESTREL_EXPORT int32_t KESTREL_CALL Send_Raw_APDU(KestrelSession* session, uint8_t* blockNumber,
                                                  uint16_t frameSize, const uint8_t* request,
                                                  uint16_t requestLength, uint8_t* answer,
                                                  uint16_t* answerLength, uint32_t cardTimeOut);

/* What R7XSend_APDU() keeps for the application between calls. 8 bytes: byte 0 block number,
 * byte 1 unused (never read or written), bytes 2-3 frame size, bytes 4-7 card time-out; the
 * numbers in the platform's byte order, which is little-endian on every supported platform. */
typedef struct ApduContext {
    uint8_t blockNumber;
    uint8_t reserved;
    uint16_t frameSize;
    uint32_t cardTimeOut;
} ApduContext;
#if defined(__cplusplus)
static_assert(sizeof(ApduContext) == 8 && offsetof(ApduContext, frameSize) == 2 &&
                  offsetof(ApduContext, cardTimeOut) == 4,
              "ApduContext is 8 bytes: number, unused, frame size, card time-out");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(ApduContext) == 8 && offsetof(ApduContext, frameSize) == 2 &&
                   offsetof(ApduContext, cardTimeOut) == 4,
               "ApduContext is 8 bytes: number, unused, frame size, card time-out");
#endif

/* Sends a command APDU as Send_Raw_APDU() does, with the context's frame size and card
 * time-out and its block number (updated in place). The answer's last two bytes go to
 * *statusWord (SW1 high, SW2 low), the rest to response; responseLength: capacity in, data
 * length out (capacity 0 is fine for an answer of the status word alone). An answer shorter
 * than the status word gives KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT and writes nothing but the
 * block number. */
KESTREL_EXPORT int32_t KESTREL_CALL R7XSend_APDU(KestrelSession* session, ApduContext* context,
                                                 const uint8_t* apdu, uint16_t apduLength,
                                                 uint8_t* response, uint16_t* responseLength,
                                                 uint16_t* statusWord);

/* Presence check: sends R(NAK) with CID 0 and the block number, which is not changed; 0 when
 * the card answers. capacity: room for the answer, which is dropped (at most 1024 bytes are
 * taken: a longer answer gives KESTREL_ERR_WRONG_PARAMETER). */
KESTREL_EXPORT int32_t KESTREL_CALL TCLPing(KestrelSession* session, const uint8_t* blockNumber,
                                            uint16_t capacity, uint32_t cardTimeOut);

/* ------------------------------------------------------------------------------------------
 * ISO/IEC 14443 Type B
 *
 * The reader builds the Type B frames (REQB/WUPB, slot marker, ATTRIB, HLTB) from the bytes
 * given here and returns the card's answer as it came: the application reads the ATQB fields,
 * the PUPI (the card's 4-byte identifier) and the protocol parameters itself.
 * Answer buffers travel with a length passed by pointer: capacity in, answer length out. The
 * answer length is stored even when the answer does not fit; then nothing is copied and the
 * result is KESTREL_ERR_READING_TOO_MUCH.
 * Pointers a call needs (PUPI, length pointers, ATTRIB's answer pointers, a buffer with a
 * non-zero length or capacity) must not be NULL: KESTREL_ERR_WRONG_PARAMETER before anything
 * is sent. A buffer with a length or capacity of 0 may be NULL.
 * ---------------------------------------------------------------------------------------- */

/* REQB: sends the two bytes (for example AFI and the parameter byte with the slot count) as
 * they are given; answer receives the answer (ATQB). */
KESTREL_EXPORT int32_t KESTREL_CALL TypeB_RequestIdle(KestrelSession* session, uint8_t first,
                                                      uint8_t second, uint8_t* answer,
                                                      uint16_t* answerLength);
/* WUPB (halted cards answer too); otherwise as TypeB_RequestIdle(). */
KESTREL_EXPORT int32_t KESTREL_CALL TypeB_RequestWakeUp(KestrelSession* session, uint8_t first,
                                                        uint8_t second, uint8_t* answer,
                                                        uint16_t* answerLength);
/* Slot marker for slot `slot`; answer receives the answer of a card in that slot. */
KESTREL_EXPORT int32_t KESTREL_CALL TypeB_SlotMarker(KestrelSession* session, uint8_t slot,
                                                     uint8_t* answer, uint16_t* answerLength);

/* ATTRIB for the card with `pupi` (4 bytes). Sent: the PUPI, param1-param3, *param4,
 * *higherLayerLength and that many bytes of higherLayerData (none when it is 0).
 *   param4             in: parameter 4; out: the first answer byte
 *   second             out: the second answer byte
 *   higherLayerLength  in: the number of higher-layer bytes to send, which is also the room
 *                      for the card's higher-layer answer; out: the number the card answered
 *   higherLayerData    in: the bytes to send; out: the card's higher-layer answer
 * The reader answers with the two answer bytes and a count n, followed by the n higher-layer
 * bytes or, from readers that report only the count, by nothing. Any other answer length gives
 * KESTREL_ERR_READING_TOO_MUCH with nothing stored. n is stored in *higherLayerLength; when it
 * exceeds the entry value the result is KESTREL_ERR_READING_TOO_MUCH and nothing else is
 * stored; otherwise the answer bytes go to *param4 and *second and the n bytes, when they
 * came, to higherLayerData (a three-byte answer leaves it untouched). */
KESTREL_EXPORT int32_t KESTREL_CALL TypeB_Attrib(KestrelSession* session, const uint8_t* pupi,
                                                 uint8_t param1, uint8_t param2, uint8_t param3,
                                                 uint8_t* param4, uint8_t* second,
                                                 uint8_t* higherLayerLength,
                                                 uint8_t* higherLayerData);
/* HLTB for the card with `pupi` (4 bytes). */
KESTREL_EXPORT int32_t KESTREL_CALL TypeB_Halt(KestrelSession* session, const uint8_t* pupi);

/* ------------------------------------------------------------------------------------------
 * Reader configuration
 *
 * Commands to the reader itself. Register numbers, attribute bytes, device numbers and
 * states, configuration numbers and card types are the reader's own and are passed through
 * unchanged. Output pointers must not be NULL (KESTREL_ERR_WRONG_PARAMETER before anything
 * is sent) unless a function says otherwise.
 * ---------------------------------------------------------------------------------------- */

/* Puts the reader's two attribute bytes back to their defaults. */
KESTREL_EXPORT int32_t KESTREL_CALL PcdSetDefaultAttrib(KestrelSession* session);
/* Sets the reader's two attribute bytes. */
KESTREL_EXPORT int32_t KESTREL_CALL PcdSetAttrib(KestrelSession* session, uint8_t first,
                                                 uint8_t second);

/* The reader's firmware version text, without a terminating zero.
 *   length  in: capacity of text; out: the text length
 * A text longer than the capacity gives KESTREL_ERR_NOT_ENOUGH_MEMORY and leaves *length
 * and text untouched; a reader answer shorter than the length it announces gives
 * KESTREL_ERR_READING_TOO_MUCH. text may be NULL when the capacity is 0. */
KESTREL_EXPORT int32_t KESTREL_CALL GetFWVersion(KestrelSession* session, char* text,
                                                 uint8_t* length);

/* Writes `value` to the reader chip's register `reg`. */
KESTREL_EXPORT int32_t KESTREL_CALL PcdWriteReg(KestrelSession* session, uint8_t reg,
                                                uint8_t value);
/* Reads register `reg` into *value. A reader answer that is not exactly one byte gives
 * KESTREL_ERR_READING_TOO_MUCH. */
KESTREL_EXPORT int32_t KESTREL_CALL PcdReadReg(KestrelSession* session, uint8_t reg,
                                               uint8_t* value);

/* Sets the time-out of each exchange with the reader (ms, both for sending and for waiting
 * for the answer; 2000 by default) from the next command on; nothing is sent. previous (may
 * be NULL) receives the time-out in use before. On a serial line sending may take this
 * time-out plus the time the bytes need at the line's baud rate; a reader that has not taken
 * them by then gives KESTREL_ERR_RS232_WRITE, and what was not sent is discarded. */
KESTREL_EXPORT int32_t KESTREL_CALL Interface_SetTimeOuts(KestrelSession* session,
                                                          uint32_t timeOutMs, uint32_t* previous);

/* Sets one of the reader's output devices (LED, buzzer, ...) to `state`. */
KESTREL_EXPORT int32_t KESTREL_CALL SetIODevState(KestrelSession* session, uint8_t device,
                                                  uint8_t state);
/* Makes the reader load its stored configuration `number`. */
KESTREL_EXPORT int32_t KESTREL_CALL Pcd_LoadConfig(KestrelSession* session, uint16_t number);
/* Tells the reader which card type to expect. */
KESTREL_EXPORT int32_t KESTREL_CALL PcdSetCardType(KestrelSession* session, uint8_t cardType);

/* Sends reader command `code` with dataLength bytes of data (data may be NULL when
 * dataLength is 0). answerLength may be NULL, or hold 0, when no answer is wanted: the
 * answer is then dropped. Otherwise it holds the capacity of answer on entry and receives
 * the answer length; an answer longer than the capacity gives KESTREL_ERR_WRONG_PARAMETER
 * with nothing copied. The answer is copied also when the reader reports a failure, whose
 * code is then returned. */
KESTREL_EXPORT int32_t KESTREL_CALL SendDirectCommand(KestrelSession* session, uint8_t code,
                                                      const uint8_t* data, uint32_t dataLength,
                                                      uint8_t* answer, uint32_t* answerLength);

/* Switches the reader's RF scanning on (on != 0) or off, with SendDirectCommand(). */
KESTREL_EXPORT int32_t KESTREL_CALL SetRFScan(KestrelSession* session, uint8_t on);
/* Reads the RF scan state with SendDirectCommand() and a one-byte answer: *state becomes 1
 * when it is on, 0 when it is off or the reader's answer is empty. A failure (also an answer
 * of more than one byte: KESTREL_ERR_WRONG_PARAMETER) leaves *state untouched. */
KESTREL_EXPORT int32_t KESTREL_CALL GetRFScan(KestrelSession* session, uint8_t* state);

/* ------------------------------------------------------------------------------------------
 * MIFARE Classic: records and reader primitives
 *
 * A card holds 16-byte blocks numbered 0-255, grouped in sectors: sectors 0-31 have 4 blocks
 * (first block 4 x sector), sectors 32-39 have 16 (first block 128 + 16 x (sector - 32)).
 * The last block of a sector is its trailer: key A (bytes 0-5), access conditions (6-9),
 * key B (10-15). Reading or writing a block needs an authentication of its sector with a key
 * the access conditions allow; it is bound to the card's serial and lasts until the next
 * authentication, halt, activation or RF reset. The library keeps no card state: every key
 * is sent with each authentication, coded by the host.
 *
 * Arguments the card command needs (key, serial, data buffer) must not be NULL: a NULL one
 * gives KESTREL_ERR_WRONG_PARAMETER before anything is sent. Failures of the reader or the
 * card come back as the reader reported them (for example KESTREL_ERR_NO_CARD,
 * KESTREL_ERR_AUTH_NOT_ALLOWED). Nothing is retried or undone: a transfer of several blocks
 * that fails part-way leaves the blocks before it written.
 * ---------------------------------------------------------------------------------------- */

/* A MIFARE Classic key: the key type (KEY_TYPE_A or KEY_TYPE_B, handed to the reader as it
 * stands) and the six key bytes, first key byte first. 7 bytes, no padding. */
typedef struct MifareKey {
    uint8_t type;
    uint8_t key[6];
} MifareKey;
#if defined(__cplusplus)
static_assert(sizeof(MifareKey) == 7, "MifareKey is 7 bytes");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(MifareKey) == 7, "MifareKey is 7 bytes");
#endif

/* Authenticates the sector of `block` with the 4-byte card serial and the key. */
KESTREL_EXPORT int32_t KESTREL_CALL AUTH_KEY_CMD(KestrelSession* session, uint8_t block,
                                                 const uint8_t* serial, const MifareKey* key);

/* Reads one block into data (16 bytes) from the authenticated sector. An answer shorter
 * than 16 bytes copies nothing (the reader's failure, else
 * KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_ReadBlock(KestrelSession* session, uint8_t block,
                                                   uint8_t* data);
/* The same function as MifC_ReadBlock(). */
KESTREL_EXPORT int32_t KESTREL_CALL READ_CMD(KestrelSession* session, uint8_t block, uint8_t* data);
/* Writes one block (16 bytes) of the authenticated sector. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteBlock(KestrelSession* session, uint8_t block,
                                                    const uint8_t* data);
/* The same function as MifC_WriteBlock(). */
KESTREL_EXPORT int32_t KESTREL_CALL WRITE_CMD(KestrelSession* session, uint8_t block,
                                              const uint8_t* data);

/* ------------------------------------------------------------------------------------------
 * MIFARE Classic: sector geometry, activation, authentication and blocks
 *
 * Three calling styles share every operation:
 *   plain          the caller has authenticated the sector; the function only transfers.
 *   ...Auth        the caller passes a key and the card's 4-byte serial; the function
 *                  authenticates, then transfers. A bad sector number gives
 *                  KESTREL_ERR_INVALID_SECTOR before the session is looked at.
 *   ...Single      the caller passes a key; the function wakes the card (WUPA, also from
 *                  halt), runs anticollision and select to learn its serial, authenticates,
 *                  then transfers. A bad sector number is found after the activation.
 * Sector numbers above 39 give KESTREL_ERR_INVALID_SECTOR; the functions do not know the
 * card's size, so a sector the card lacks fails on the card.
 * ---------------------------------------------------------------------------------------- */

/* Wakes the card (WUPA), runs anticollision and select. serial (4 bytes) is sent with the
 * anticollision as it stands (zeros from a fresh start) and receives the card's serial. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetCard(KestrelSession* session, uint8_t* serial);

/* Authenticates the sector of `block` with the key, bound to the 4-byte serial. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_AuthBlock(KestrelSession* session, const MifareKey* key,
                                                   const uint8_t* serial, uint8_t block);
/* MifC_GetCard(), then MifC_AuthBlock() with the serial found. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_AuthBlockSingle(KestrelSession* session,
                                                         const MifareKey* key, uint8_t block);
/* Authenticates the sector's first block. KESTREL_ERR_INVALID_SECTOR comes first, before
 * the session is checked. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_AuthSector(KestrelSession* session, const MifareKey* key,
                                                    const uint8_t* serial, uint8_t sector);
/* MifC_GetCard(), then MifC_AuthSector() with the serial found. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_AuthSectorSingle(KestrelSession* session,
                                                          const MifareKey* key, uint8_t sector);

/* MifC_AuthBlock(), then MifC_ReadBlock(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_ReadBlockAuth(KestrelSession* session,
                                                       const MifareKey* key, const uint8_t* serial,
                                                       uint8_t block, uint8_t* data);
/* MifC_AuthBlockSingle(), then MifC_ReadBlock(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_ReadBlockSingle(KestrelSession* session,
                                                         const MifareKey* key, uint8_t block,
                                                         uint8_t* data);
/* MifC_AuthBlock(), then MifC_WriteBlock(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteBlockAuth(KestrelSession* session,
                                                        const MifareKey* key, const uint8_t* serial,
                                                        uint8_t block, const uint8_t* data);
/* MifC_AuthBlockSingle(), then MifC_WriteBlock(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteBlockSingle(KestrelSession* session,
                                                          const MifareKey* key, uint8_t block,
                                                          const uint8_t* data);

/* Authenticates the sector (MifC_AuthSector()), then reads `count` blocks from its first
 * block + offset into buffer (16 x count bytes). Block numbers are 8-bit: a run whose end
 * wraps past block 255 (start >= end) reads nothing and returns 0. Offset and count are not
 * held to the sector: blocks outside it fail on the card, after the blocks before them. */
KESTREL_EXPORT int32_t KESTREL_CALL ReadBlocksFromSector(KestrelSession* session,
                                                         const MifareKey* key,
                                                         const uint8_t* serial, uint8_t sector,
                                                         uint8_t offset, uint8_t count,
                                                         uint8_t* buffer);
/* As ReadBlocksFromSector(), writing the blocks from buffer. */
KESTREL_EXPORT int32_t KESTREL_CALL WriteBlocksFromSector(KestrelSession* session,
                                                          const MifareKey* key,
                                                          const uint8_t* serial, uint8_t sector,
                                                          uint8_t offset, uint8_t count,
                                                          const uint8_t* buffer);

/* ------------------------------------------------------------------------------------------
 * MIFARE Classic: sector geometry and access conditions
 *
 * Pure computations: no session, no card.
 *
 * Access conditions are the four trailer bytes 6-9. Each block group (0, 1, 2: data blocks;
 * 3: the trailer; in a 16-block sector group n covers blocks 5n to 5n+4) has a condition
 * index 0-7 made of its bits C1 C2 C3 (index = 4 x C1 + 2 x C2 + C3). These functions turn an
 * index into privilege masks for key A and key B and back, using only the listed mask pairs
 * (ACL_GetValidDataSecPrivs(), ACL_GetValidTrailerPrivs()). Byte 3 (general purpose) is never
 * changed. The result is an index or 0, or -1 for a bad argument.
 * ---------------------------------------------------------------------------------------- */

/* Geometry of a sector: 0 with the value stored, or
 * KESTREL_ERR_INVALID_SECTOR with the output untouched (KESTREL_ERR_WRONG_PARAMETER for a NULL
 * output). First block: 4 x sector, or 128 + 16 x (sector - 32). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorFirstBlock(uint8_t sector, uint8_t* firstBlock);
/* Blocks of the sector, trailer included: 4 or 16. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorBlocksCount(uint8_t sector, uint8_t* count);
/* Bytes of the sector's data blocks (all but the trailer): 48 or 240. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorDataSize(uint8_t sector, uint8_t* size);
/* Block number of the sector's trailer. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorTrailerBlock(uint8_t sector,
                                                               uint8_t* trailerBlock);

/* Data-block privileges. */
#define DATA_PRIV_READ 0x01
#define DATA_PRIV_WRITE 0x02
#define DATA_PRIV_INCREMENT 0x04
#define DATA_PRIV_DECREMENT 0x08 /* decrement, transfer and restore */

/* Trailer privileges. */
#define TRAILER_PRIV_WRITE_KEY_A 0x02
#define TRAILER_PRIV_READ_ACCESS 0x04
#define TRAILER_PRIV_WRITE_ACCESS 0x08
#define TRAILER_PRIV_READ_KEY_B 0x10
#define TRAILER_PRIV_WRITE_KEY_B 0x20

/* The condition index of data block group blockIndex (0-2) in access (4 bytes), with its
 * masks stored through keyA and keyB (either may be NULL). Only the non-inverted bits are
 * read. -1 for a bad block index or a NULL access, outputs untouched. */
KESTREL_EXPORT int32_t KESTREL_CALL ACL_ParseDataConditions(int32_t blockIndex,
                                                            const uint8_t* access, uint32_t* keyA,
                                                            uint32_t* keyB);
/* As ACL_ParseDataConditions() for the trailer. */
KESTREL_EXPORT int32_t KESTREL_CALL ACL_ParseTrailerConditions(const uint8_t* access,
                                                               uint32_t* keyA, uint32_t* keyB);
/* Rewrites the six bits of data block group blockIndex (0-2) in access for the first index
 * whose masks equal keyA and keyB exactly, and returns that index. -1 for a pair in no row,
 * a bad block index or a NULL access, bytes untouched. */
KESTREL_EXPORT int32_t KESTREL_CALL ACL_GenDataConditions(int32_t blockIndex, uint8_t* access,
                                                          uint32_t keyA, uint32_t keyB);
/* As ACL_GenDataConditions() for the trailer. (TRAILER_PRIV_READ_ACCESS for both keys gives
 * index 6: indices 6 and 7 grant the same.) */
KESTREL_EXPORT int32_t KESTREL_CALL ACL_GenTrailerConditions(uint8_t* access, uint32_t keyA,
                                                             uint32_t keyB);
/* The masks of data condition index (0-7) through keyA and keyB (either may be NULL): 0, or
 * -1 for an index above 7, outputs untouched. */
KESTREL_EXPORT int32_t KESTREL_CALL ACL_GetValidDataSecPrivs(uint32_t index, uint32_t* keyA,
                                                             uint32_t* keyB);
/* As ACL_GetValidDataSecPrivs() for the trailer conditions. */
KESTREL_EXPORT int32_t KESTREL_CALL ACL_GetValidTrailerPrivs(uint32_t index, uint32_t* keyA,
                                                             uint32_t* keyB);

/* ------------------------------------------------------------------------------------------
 * MIFARE Classic: value blocks
 *
 * A value block holds a signed 32-bit value as value, NOT value, value (bytes 0-11, little
 * endian), then the address byte a as a, NOT a, a, NOT a. The card increments and decrements
 * it itself. The functions here store the block's own number as the address.
 * ---------------------------------------------------------------------------------------- */

/* Value operation codes, handed to the card as they stand. */
#define VALUE_OP_DECREMENT 0xC0
#define VALUE_OP_INCREMENT 0xC1

/* Access conditions of a value sector, as an initializer of 4 bytes:
 * uint8_t access[4] = VALUE_SECTOR_ACCESS;
 * Data blocks: key A reads and decrements, key B does everything. Trailer: key A reads the
 * access bytes; key B writes key A, reads and writes the access bytes, writes key B. */
#define VALUE_SECTOR_ACCESS \
    { 0x08, 0x77, 0x8F, 0x00 }

/* Writes a value block of `value` to `block` (MifC_WriteBlockSingle() with the key). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_CreateValue(KestrelSession* session, int32_t value,
                                                     uint8_t block, const MifareKey* key);
/* Applies operation (VALUE_OP_INCREMENT, VALUE_OP_DECREMENT or any other card code) with
 * value to `block` of the authenticated sector and stores the result back in that block. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_ProcessValue(KestrelSession* session, uint8_t operation,
                                                      uint8_t block, int32_t value);
/* MifC_AuthBlock(), then MifC_ProcessValue(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_ProcessValueAuth(KestrelSession* session,
                                                          const MifareKey* key,
                                                          const uint8_t* serial, uint8_t operation,
                                                          uint8_t block, int32_t value);
/* MifC_AuthBlockSingle(), then MifC_ProcessValue(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_ProcessValueSingle(KestrelSession* session,
                                                            const MifareKey* key, uint8_t operation,
                                                            uint8_t block, int32_t value);
/* Makes a value sector: MifC_AuthSectorSingle() with authKey, then the trailer becomes
 * newKeyA's bytes, VALUE_SECTOR_ACCESS, newKeyB's bytes (type bytes ignored). The data
 * blocks are not touched: create the values with MifC_CreateValue() and the new key B. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_FormatValueSector(KestrelSession* session, uint8_t sector,
                                                           const MifareKey* newKeyA,
                                                           const MifareKey* newKeyB,
                                                           const MifareKey* authKey);

/* Older value functions: each activates the card itself (RF reset, WUPA, anticollision,
 * select) and authenticates with the key before it acts. */

/* Makes `block` a value block of value 0 in a value sector: writes the trailer of the
 * block's sector as WriteTrailerData() does (authKey opens it; newKeyX and newKeyY become
 * the keys, ordered by their type bytes; equal types give KESTREL_ERR_INVALID_KEYS), then
 * authenticates the block with newKeyY (which must become key B) and writes the value block.
 * Blocks from 128 on belong to the 16-block sectors: their trailer is the last block of that
 * sector (block 200: sector 36, trailer 207). A trailer block is refused with
 * KESTREL_ERR_WRONG_PARAMETER before anything is sent, as the value image would overwrite
 * the sector's keys. A failure after the trailer write leaves the new trailer on the card. */
KESTREL_EXPORT int32_t KESTREL_CALL CreateValueBlock(KestrelSession* session, uint8_t block,
                                                     const MifareKey* newKeyX,
                                                     const MifareKey* newKeyY,
                                                     const MifareKey* authKey);
/* Adds value to the value block. Only the block given is addressed: the reader
 * authenticates the sector that holds it, so every block 0-255 is served alike. */
KESTREL_EXPORT int32_t KESTREL_CALL IncrementValue(KestrelSession* session, uint8_t block,
                                                   const MifareKey* key, int32_t value);
/* Subtracts value from the value block; blocks as IncrementValue(). */
KESTREL_EXPORT int32_t KESTREL_CALL DecrementValue(KestrelSession* session, uint8_t block,
                                                   const MifareKey* key, int32_t value);
/* Reads the value block and checks it: KESTREL_ERR_VALUE_CORRUPTED for value bytes that
 * disagree, then KESTREL_ERR_VALUE_ADDRESS_CORRUPTED for address bytes that disagree, then
 * KESTREL_ERR_VALUE_ADDRESS_MISMATCH for an address other than `block`. *value is written
 * only on success. Blocks as IncrementValue(). */
KESTREL_EXPORT int32_t KESTREL_CALL GetValue(KestrelSession* session, uint8_t block,
                                             const MifareKey* key, int32_t* value);

/* ------------------------------------------------------------------------------------------
 * MIFARE Classic: sector data and trailers
 *
 * Sector data is the sector's data blocks, first block first: 48 bytes (sectors 0-31) or 240
 * (32-39). `size` states the caller's buffer; only its low 8 bits count and they must equal
 * the data size, else KESTREL_ERR_BUFFER_SIZE before any transfer (after the authentication
 * of the Auth and Single forms). Writes never touch block 0 of the card (the manufacturer
 * block): for sector 0 the first 16 data bytes are not used.
 * A trailer is passed raw (16 bytes) or split: access (4 bytes) and two key records. Split
 * writes take keyA's and keyB's six bytes and ignore their type bytes; split reads give key
 * A type KEY_TYPE_A and key B type KEY_TYPE_B (the card shows key A as zeros), fill only the
 * non-NULL outputs and leave all of them untouched on failure.
 * ---------------------------------------------------------------------------------------- */

/* Reads the sector's data into buffer (size bytes). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_ReadSectorData(KestrelSession* session, uint8_t* buffer,
                                                        uint32_t size, uint8_t sector);
/* MifC_AuthSector(), then MifC_ReadSectorData(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_ReadSectorDataAuth(KestrelSession* session,
                                                            const MifareKey* key,
                                                            const uint8_t* serial, uint8_t* buffer,
                                                            uint32_t size, uint8_t sector);
/* MifC_AuthSectorSingle(), then MifC_ReadSectorData(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_ReadSectorDataSingle(KestrelSession* session,
                                                              const MifareKey* key, uint8_t* buffer,
                                                              uint32_t size, uint8_t sector);
/* Writes the sector's data from data (size bytes). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorData(KestrelSession* session,
                                                         const uint8_t* data, uint32_t size,
                                                         uint8_t sector);
/* MifC_AuthSector(), then MifC_WriteSectorData(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorDataAuth(KestrelSession* session,
                                                             const MifareKey* key,
                                                             const uint8_t* serial,
                                                             const uint8_t* data, uint32_t size,
                                                             uint8_t sector);
/* MifC_AuthSectorSingle(), then MifC_WriteSectorData(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorDataSingle(KestrelSession* session,
                                                               const MifareKey* key,
                                                               const uint8_t* data, uint32_t size,
                                                               uint8_t sector);

/* Whole sector, split trailer: MifC_WriteSectorData(), then MifC_WriteSectorTrailer2(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSector(KestrelSession* session, uint8_t sector,
                                                     const uint8_t* data, uint32_t size,
                                                     const uint8_t* access, const MifareKey* keyA,
                                                     const MifareKey* keyB);
/* Whole sector from one image: size is data size + 16 (64 or 256; the check is made on
 * (size - 16) modulo 256); the data, then the last 16 bytes to the trailer block. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSector2(KestrelSession* session, uint8_t sector,
                                                      const uint8_t* image, uint32_t size);
/* MifC_AuthSector(), then MifC_WriteSector(). */
KESTREL_EXPORT int32_t KESTREL_CALL
MifC_WriteSectorAuth(KestrelSession* session, const MifareKey* key, const uint8_t* serial,
                     uint8_t sector, const uint8_t* data, uint32_t size, const uint8_t* access,
                     const MifareKey* keyA, const MifareKey* keyB);
/* MifC_AuthSector(), then MifC_WriteSector2(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorAuth2(KestrelSession* session,
                                                          const MifareKey* key,
                                                          const uint8_t* serial, uint8_t sector,
                                                          const uint8_t* image, uint32_t size);
/* MifC_AuthSectorSingle() with key, then MifC_WriteSector(). Note: key comes after access. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorSingle(
    KestrelSession* session, uint8_t sector, const uint8_t* data, uint32_t size,
    const uint8_t* access, const MifareKey* key, const MifareKey* keyA, const MifareKey* keyB);
/* MifC_AuthSectorSingle() with key, then MifC_WriteSector2(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorSingle2(KestrelSession* session, uint8_t sector,
                                                            const uint8_t* image, uint32_t size,
                                                            const MifareKey* key);

/* Writes a split trailer to `block` (not checked to be a trailer block). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteTrailerDirect(KestrelSession* session, uint8_t block,
                                                            const uint8_t* access,
                                                            const MifareKey* keyA,
                                                            const MifareKey* keyB);
/* Writes a raw trailer to `block`: the same as MifC_WriteBlock(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteTrailerDirect2(KestrelSession* session, uint8_t block,
                                                             const uint8_t* trailer);
/* Writes a raw trailer to the sector's trailer block. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorTrailer(KestrelSession* session, uint8_t sector,
                                                            const uint8_t* trailer);
/* Writes a split trailer to the sector's trailer block. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorTrailer2(KestrelSession* session,
                                                             uint8_t sector, const uint8_t* access,
                                                             const MifareKey* keyA,
                                                             const MifareKey* keyB);
/* MifC_AuthSector(), then MifC_WriteSectorTrailer2(). Note: the sector comes first. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorTrailerAuth(
    KestrelSession* session, uint8_t sector, const MifareKey* key, const uint8_t* serial,
    const uint8_t* access, const MifareKey* keyA, const MifareKey* keyB);
/* MifC_AuthSector(), then MifC_WriteSectorTrailer(). Note: the sector comes first. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorTrailerAuth2(KestrelSession* session,
                                                                 uint8_t sector,
                                                                 const MifareKey* key,
                                                                 const uint8_t* serial,
                                                                 const uint8_t* trailer);
/* MifC_AuthBlockSingle() on `block`, then a raw trailer to it. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteTrailerSingle(KestrelSession* session,
                                                            const MifareKey* key, uint8_t block,
                                                            const uint8_t* trailer);
/* MifC_AuthBlockSingle() on `block`, then a split trailer to it. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteTrailerSingle2(KestrelSession* session,
                                                             const MifareKey* key, uint8_t block,
                                                             const uint8_t* access,
                                                             const MifareKey* keyA,
                                                             const MifareKey* keyB);

/* Reads the sector's trailer block raw into trailer (16 bytes). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorTrailer(KestrelSession* session, uint8_t sector,
                                                          uint8_t* trailer);
/* Reads the sector's trailer split; each output may be NULL. */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorTrailer2(KestrelSession* session, uint8_t sector,
                                                           uint8_t* access, MifareKey* keyA,
                                                           MifareKey* keyB);
/* MifC_AuthSector(), then MifC_GetSectorTrailer(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorTrailerAuth(KestrelSession* session,
                                                              const MifareKey* key,
                                                              const uint8_t* serial, uint8_t sector,
                                                              uint8_t* trailer);
/* MifC_AuthSector(), then MifC_GetSectorTrailer2(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorTrailerAuth2(KestrelSession* session,
                                                               const MifareKey* key,
                                                               const uint8_t* serial,
                                                               uint8_t sector, uint8_t* access,
                                                               MifareKey* keyA, MifareKey* keyB);
/* MifC_AuthSectorSingle(), then MifC_GetSectorTrailer(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorTrailerSingle(KestrelSession* session,
                                                                const MifareKey* key,
                                                                uint8_t sector, uint8_t* trailer);
/* MifC_AuthSectorSingle(), then MifC_GetSectorTrailer2(). */
KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorTrailerSingle2(KestrelSession* session,
                                                                 const MifareKey* key,
                                                                 uint8_t sector, uint8_t* access,
                                                                 MifareKey* keyA, MifareKey* keyB);

/* ------------------------------------------------------------------------------------------
 * MIFARE Classic: older sector functions
 *
 * Every function here that identifies the card itself starts with an RF reset (25) and a
 * fresh activation (WUPA, anticollision, select), so nothing of an earlier call survives; the
 * forms with SN in their name and ReadSectorData() take the serial from the caller instead.
 * Trailers are built from two key records whose type bytes decide which becomes key A
 * (KEY_TYPE_A); equal type bytes give KESTREL_ERR_INVALID_KEYS before anything is sent.
 * Sector numbers with 4-block arithmetic reach sectors 0-31 only: what each function does
 * with sectors 32-39 is said at the function.
 * ---------------------------------------------------------------------------------------- */

/* A sector described by the caller. */
typedef struct SectorExStruct {
    uint16_t blockCount; /* blocks of the sector, trailer included (4 or 16; 0 is refused) */
    uint8_t firstBlock;  /* number of its first block; block numbers wrap at 256 */
    uint8_t* data;       /* (blockCount - 1) x 16 bytes: the data blocks */
    uint8_t* trailer;    /* 16 bytes: the trailer block */
} SectorExStruct;

/* A byte block with its length. Blocks the library fills for the application come from
 * malloc() and go back with FreeAppDataStruct(). */
typedef struct AppDataStruct {
    uint32_t length;
    uint8_t* data;
} AppDataStruct;

/* RF reset, WUPA (ATQA into *atqa), anticollision into serial (4 bytes), select (SAK into
 * *sak). atqa and sak may be NULL. Outputs already stored stay stored when a later step
 * fails. */
KESTREL_EXPORT int32_t KESTREL_CALL SelectCard(KestrelSession* session, uint8_t* serial,
                                               uint16_t* atqa, uint8_t* sak);
/* SelectCard() without ATQA and SAK. */
KESTREL_EXPORT int32_t KESTREL_CALL GetCardID(KestrelSession* session, uint8_t* serial);
/* RF reset, then request, anticollision and select of an idle card in one reader command
 * (as SelectIdleCard()). uidLength: capacity in, length out. atqa and sak may be NULL. */
KESTREL_EXPORT int32_t KESTREL_CALL SelectCardEx(KestrelSession* session, uint8_t* uid,
                                                 uint8_t* uidLength, uint16_t* atqa, uint8_t* sak);
/* SelectCardEx() without ATQA and SAK. */
KESTREL_EXPORT int32_t KESTREL_CALL GetCardIDEx(KestrelSession* session, uint8_t* uid,
                                                uint8_t* uidLength);
/* GetCardIDEx() into the library's own buffer: 0 when a card answers. */
KESTREL_EXPORT int32_t KESTREL_CALL GetCardIDF(KestrelSession* session);

/* Activates, authenticates `block` with key, reads it into data (16 bytes). */
KESTREL_EXPORT int32_t KESTREL_CALL ReadBlock(KestrelSession* session, uint8_t block,
                                              const MifareKey* key, uint8_t* data);
/* Activates, authenticates `block` with key, writes data (16 bytes) to it. */
KESTREL_EXPORT int32_t KESTREL_CALL WriteBlock(KestrelSession* session, uint8_t block,
                                               const MifareKey* key, const uint8_t* data);
/* Activates, authenticates the sector, reads its four blocks, trailer included, into data
 * (64 bytes). Sectors 0-31 only: a 16-block sector does not fit the 64 bytes, so sector 32 and
 * above give KESTREL_ERR_WRONG_PARAMETER before anything is sent (ReadSectorBytes() and
 * ReadSectorEx() read those). */
KESTREL_EXPORT int32_t KESTREL_CALL ReadSector(KestrelSession* session, const MifareKey* key,
                                               uint8_t sector, uint8_t* data);
/* Activates, authenticates the sector, writes its four blocks, trailer included, from data
 * (64 bytes); card block 0 is skipped. Sectors 0-31 only, as ReadSector(). */
KESTREL_EXPORT int32_t KESTREL_CALL WriteSector(KestrelSession* session, uint8_t sector,
                                                const MifareKey* key, const uint8_t* data);
/* Activates, authenticates the sector, writes its three data blocks from data (48 bytes);
 * card block 0 is skipped. Sectors 0-31 only: the 240 bytes of a 16-block sector do not come
 * in 48, so sector 32 and above give KESTREL_ERR_WRONG_PARAMETER before anything is sent
 * (WriteSectorDataBytes() and WriteSectorDataEx() write those). */
KESTREL_EXPORT int32_t KESTREL_CALL WriteSectorData(KestrelSession* session, const MifareKey* key,
                                                    uint8_t sector, const uint8_t* data);

/* Activates, authenticates the described sector's first block, reads its data blocks,
 * authenticates its trailer block and reads the trailer. */
KESTREL_EXPORT int32_t KESTREL_CALL ReadSectorEx(KestrelSession* session, const MifareKey* key,
                                                 SectorExStruct* sector);
/* As ReadSectorEx(), writing (card block 0 skipped); the trailer last. */
KESTREL_EXPORT int32_t KESTREL_CALL WriteSectorEx(KestrelSession* session, const MifareKey* key,
                                                  const SectorExStruct* sector);
/* Activates, authenticates, writes the described sector's data blocks (card block 0
 * skipped); the trailer is not touched (trailer may be NULL). */
KESTREL_EXPORT int32_t KESTREL_CALL WriteSectorDataEx(KestrelSession* session, const MifareKey* key,
                                                      const SectorExStruct* sector);
/* As WriteSectorDataEx() with the caller's serial (4 bytes) and no activation. */
KESTREL_EXPORT int32_t KESTREL_CALL WriteSectorDataExSN(KestrelSession* session,
                                                        const MifareKey* key,
                                                        const SectorExStruct* sector,
                                                        const uint8_t* serial);
/* Authenticates with the caller's serial (no activation) and reads the described sector's
 * data blocks (trailer may be NULL). */
KESTREL_EXPORT int32_t KESTREL_CALL ReadSectorData(KestrelSession* session, const MifareKey* key,
                                                   SectorExStruct* sector, const uint8_t* serial);

/* Activates, authenticates `block` with authKey and writes a trailer to it: access (4 bytes)
 * between the keys keyX and keyY ordered by their type bytes. */
KESTREL_EXPORT int32_t KESTREL_CALL WriteTrailerDataDirect(KestrelSession* session, uint8_t block,
                                                           const uint8_t* access,
                                                           const MifareKey* authKey,
                                                           const MifareKey* keyX,
                                                           const MifareKey* keyY);
/* WriteTrailerDataDirect() on the sector's trailer block. Works exactly as
 * WriteTrailerDataEx(): sectors 32-39 use their 16-block trailer (sector 32: block 143), and
 * sector 40 and above give KESTREL_ERR_WRONG_PARAMETER before the session is looked at. */
KESTREL_EXPORT int32_t KESTREL_CALL WriteTrailerData(KestrelSession* session, uint8_t sector,
                                                     const uint8_t* access,
                                                     const MifareKey* authKey,
                                                     const MifareKey* keyX, const MifareKey* keyY);
/* WriteTrailerDataDirect() on the trailer of sector 0-39; any other sector gives
 * KESTREL_ERR_WRONG_PARAMETER before the session is looked at. */
KESTREL_EXPORT int32_t KESTREL_CALL WriteTrailerDataEx(KestrelSession* session, uint16_t sector,
                                                       const uint8_t* access,
                                                       const MifareKey* authKey,
                                                       const MifareKey* keyX,
                                                       const MifareKey* keyY);
/* Authenticates `block` with authKey and the caller's serial (no activation) and writes the
 * 16 trailer bytes unchanged. */
KESTREL_EXPORT int32_t KESTREL_CALL WriteTrailerDataDirectSN(KestrelSession* session, uint8_t block,
                                                             const MifareKey* authKey,
                                                             const uint8_t* trailer,
                                                             const uint8_t* serial);

/* Byte-block forms. Sector and length (and a NULL structure or data) are checked first,
 * before the session: anything but the lengths below, or a sector above 39, gives
 * KESTREL_ERR_WRONG_PARAMETER. */

/* Reads a whole sector into a new block: sectors 0-31 as ReadSector() (length 64), 32-39 as
 * ReadSectorEx() (length 256: the 240 data bytes, then the trailer). *out is overwritten on
 * success only; release it with FreeAppDataStruct(). KESTREL_ERR_NOT_ENOUGH_MEMORY when the
 * block cannot be allocated. */
KESTREL_EXPORT int32_t KESTREL_CALL ReadSectorBytes(KestrelSession* session, const MifareKey* key,
                                                    uint16_t sector, AppDataStruct* out);
/* Writes a whole sector: sectors 0-31 need length 64 (WriteSector()), 32-39 length 256
 * (WriteSectorEx(): bytes 0-239 data, 240-255 trailer). */
KESTREL_EXPORT int32_t KESTREL_CALL WriteSectorBytes(KestrelSession* session, uint16_t sector,
                                                     const MifareKey* key, const AppDataStruct* in);
/* Activates the card (as GetCardIDEx()), then checks the sector and reads its data blocks
 * with ReadSectorData() (48 or 240 bytes). length 0: a new block is allocated and length set;
 * a length below the data size gives KESTREL_ERR_NOT_ENOUGH_MEMORY after the read, nothing
 * copied; otherwise the data size is copied into data and length is left alone. Here only
 * a NULL structure, or a NULL data with a length, is refused before the session. */
KESTREL_EXPORT int32_t KESTREL_CALL ReadSectorDataBytes(KestrelSession* session,
                                                        const MifareKey* key, uint16_t sector,
                                                        AppDataStruct* inOut);
/* Writes a sector's data: sectors 0-31 need length 48 (WriteSectorData()), 32-39 length 256
 * (WriteSectorDataEx() with the first 240 bytes; the last 16 are not written). */
KESTREL_EXPORT int32_t KESTREL_CALL WriteSectorDataBytes(KestrelSession* session,
                                                         const MifareKey* key, uint16_t sector,
                                                         const AppDataStruct* in);
/* Releases a block the library allocated (when length and data are both non-zero) and
 * zeroes both fields. 0, or KESTREL_ERR_WRONG_PARAMETER for NULL. Give it only structures
 * the library filled. */
KESTREL_EXPORT int32_t KESTREL_CALL FreeAppDataStruct(AppDataStruct* data);

/* ------------------------------------------------------------------------------------------
 * MIFARE Ultralight
 *
 * 7-byte UID, 4-byte pages, no authentication. Page numbers are not checked: the card
 * refuses pages it does not have.
 * ---------------------------------------------------------------------------------------- */

/* Activates an idle card (as SelectIdleCard()) into uid (7 bytes). 0 for a 7-byte UID; -1
 * (not a result code) for any other length, whose bytes are left in uid; a longer UID gives
 * KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT. */
KESTREL_EXPORT int32_t KESTREL_CALL MifU_GetCard(KestrelSession* session, uint8_t* uid);
/* Reads 16 bytes (four pages from `page` on) into data. A longer answer gives
 * KESTREL_ERR_WRONG_PARAMETER and copies nothing. */
KESTREL_EXPORT int32_t KESTREL_CALL MifU_Read16Bytes(KestrelSession* session, uint8_t page,
                                                     uint8_t* data);
/* Reads one page into *value (its four bytes in memory order); written only on success. */
KESTREL_EXPORT int32_t KESTREL_CALL MifU_ReadPage(KestrelSession* session, uint8_t page,
                                                  uint32_t* value);
/* Writes 16 bytes with the compatibility write to `page` (the card stores the first four). */
KESTREL_EXPORT int32_t KESTREL_CALL MifU_Write16Bytes(KestrelSession* session, uint8_t page,
                                                      const uint8_t* data);
/* Writes one page (4 bytes). */
KESTREL_EXPORT int32_t KESTREL_CALL MifU_WritePage(KestrelSession* session, uint8_t page,
                                                   const uint8_t* data);

/* ------------------------------------------------------------------------------------------
 * MIFARE DESFire: context, native commands, authentication and keys
 *
 * Context. The DESFire functions work on a DESFire context of the session (block number,
 *   frame size, time-out): DF_Connect() makes it, or DF_InitData() after the application's own
 *   activation (then DF_SetFrameSize(): the frame size starts at 0, which no exchange
 *   accepts). DF_FreeData() ends it; ReleaseSession() frees a context the application forgot.
 *   The context is kept apart from the session's user data. A function that needs it gives
 *   KESTREL_ERR_DF_NO_DESFIRE_SESSION (41473) when the session has none.
 * Native commands (a command byte and its parameters) travel through the ISO/IEC 14443-4
 *   block protocol with CID 0, the context's frame size and block number, and (except for
 *   DF_SendNativeCMD()) the context's time-out of 1000 ms. The card answers with a status byte
 *   and data; status 0xAF (additional frame) makes the library fetch the next frame with the
 *   one-byte command 0xAF.
 * Failures. A card error is KESTREL_ERR_DF_CARD_STATUS_BASE + the status byte, a positive
 *   number (0xAE gives KESTREL_ERR_DF_AUTHENTICATION = 0xA1AE = 41390). An answer of the wrong
 *   length for its command gives KESTREL_ERR_WRONG_ANSWER_LENGTH (6030); a card response with
 *   no status byte at all KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT; one response longer than 300
 *   bytes, or data beyond 65535 bytes in all, KESTREL_ERR_READING_TOO_MUCH. Failures of the
 *   block protocol, the reader and the line come back as they are.
 * Keys are DF_KEY_LENGTH (16) bytes of two-key triple DES: K1 = bytes 0-7, K2 = bytes 8-15; a
 *   single DES key is given with equal halves. Parity bits are ignored. DF_AuthKey() hands out
 *   the session key and the library keeps none: pass it back to the functions that encipher
 *   or MAC under it. A NULL session key gives KESTREL_ERR_DF_NO_SESSION_KEY, another NULL
 *   argument KESTREL_ERR_WRONG_PARAMETER, before anything is sent.
 * Security. The host's random number of an authentication comes from the operating system's
 *   secure generator; when it fails, the authentication fails with KESTREL_ERR_DF_UNKNOWN
 *   before anything is sent. Random numbers, keys under construction and plain cryptograms
 *   are wiped before a call returns.
 * MAC (communication mode DF_COMM_MACED): the data is padded with zero bytes to a multiple of
 *   8 after at least one zero byte, so 8 data bytes are MACed as 16 (a whole block of zeros
 *   appended) and no data as 8 zero bytes; the MAC is the first 4 bytes of the last block of
 *   the CBC encipherment.
 * ---------------------------------------------------------------------------------------- */

#define DF_KEY_LENGTH 16
/* Communication modes of DESFire data. */
#define DF_COMM_PLAIN 0
#define DF_COMM_MACED 1
#define DF_COMM_ENCIPHERED 3

/* Creates the session's DESFire context (command format 0, block number 0, frame size 0,
 * time-out 1000 ms), replacing the one it had. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_InitData(KestrelSession* session);
/* Frees the session's DESFire context, if it has one. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_FreeData(KestrelSession* session);
/* The same function as DF_FreeData(). */
KESTREL_EXPORT int32_t KESTREL_CALL DF_Disconnect(KestrelSession* session);

/* An application word kept in the context; no exchange reads it. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_SetCmdFormat(KestrelSession* session, uint32_t format);
/* Reads the command format. KESTREL_ERR_WRONG_PARAMETER for a NULL pointer. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_GetCmdFormat(KestrelSession* session, uint32_t* format);
/* The card's frame size (FSC) for the block protocol, stored as given; every exchange checks
 * it. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_SetFrameSize(KestrelSession* session, uint16_t frameSize);
/* Reads the frame size. KESTREL_ERR_WRONG_PARAMETER for a NULL pointer. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_GetFrameSize(KestrelSession* session, uint16_t* frameSize);

/* A new context (as DF_InitData()), then the activation of an idle card (as SelectIdleCard())
 * and RATS with parameter 0; the frame size becomes 16 whatever the card announces. A card
 * without ISO/IEC 14443-4 gives KESTREL_ERR_ISO14443_4_NOT_SUPPORTED and gets no RATS. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_Connect(KestrelSession* session);

/* Sends one native command (commandLength at most 65535) with the card time-out timeOut (ms)
 * and returns the card's raw response, status byte first, without looking at it.
 * responseLength: capacity in, length out. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_SendNativeCMD(KestrelSession* session,
                                                     const uint8_t* command, uint32_t commandLength,
                                                     uint8_t* response, uint16_t* responseLength,
                                                     uint32_t timeOut);
/* Sends one native command and collects the data of all its frames (status bytes removed).
 * dataLength: capacity in; out: the data bytes of all frames, also on failure (those before
 * the failing frame). Frames are copied whole while they fit; a frame that does not fit is
 * counted but not copied, and nothing after it is copied: a length above the capacity means
 * the buffer was too small. data may be NULL (nothing copied), dataLength too (no data
 * wanted). */
KESTREL_EXPORT int32_t KESTREL_CALL DF_SendNativeCMDEx(KestrelSession* session,
                                                       const uint8_t* command,
                                                       uint32_t commandLength, uint8_t* data,
                                                       uint16_t* dataLength);
/* Presence check of the card (as TCLPing() with the context's values). */
KESTREL_EXPORT int32_t KESTREL_CALL DF_Ping(KestrelSession* session);

/* Mutual authentication with key keyNumber of the selected application (or of the card
 * level): key is the key (DF_KEY_LENGTH bytes), sessionKey receives the session key
 * (DF_KEY_LENGTH bytes) on success only. A card that refuses the key, or whose answer does not
 * prove that it knows the key, gives KESTREL_ERR_DF_AUTHENTICATION. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_AuthKey(KestrelSession* session, uint8_t keyNumber,
                                               const uint8_t* key, uint8_t* sessionKey);
/* Changes the key the session is authenticated with (keyNumber) to newKey, enciphered under
 * the session key. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_ChangeCurKey(KestrelSession* session, uint8_t keyNumber,
                                                    const uint8_t* newKey,
                                                    const uint8_t* sessionKey);
/* Changes another key (keyNumber) from oldKey to newKey, enciphered under the session key. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_ChangeKey(KestrelSession* session, uint8_t keyNumber,
                                                 const uint8_t* oldKey, const uint8_t* newKey,
                                                 const uint8_t* sessionKey);
/* Reads the key settings and the maximum number of keys; both written on success only. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_GetKeySettings(KestrelSession* session, uint8_t* settings,
                                                      uint8_t* maxKeys);
/* Changes the key settings, enciphered under the session key. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_ChangeKeySettings(KestrelSession* session, uint8_t settings,
                                                         const uint8_t* sessionKey);
/* Reads the version of key keyNumber into *version. The answer's length is not checked: an
 * answer of more than one byte leaves *version unwritten and gives 0. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_GetKeyVersion(KestrelSession* session, uint8_t keyNumber,
                                                     uint8_t* version);

/* ------------------------------------------------------------------------------------------
 * MIFARE DESFire: applications, files, data, values, records and transactions
 *
 * Each function sends one native command (with its continuation frames) and returns 0 or the
 * failure of the exchange: the card's refusal is KESTREL_ERR_DF_CARD_STATUS_BASE + status
 * (KESTREL_ERR_DF_DUPLICATE, KESTREL_ERR_DF_APPLICATION_NOT_FOUND, KESTREL_ERR_DF_FILE_NOT_FOUND,
 * KESTREL_ERR_DF_PERMISSION_DENIED, KESTREL_ERR_DF_BOUNDARY ...). Argument values (AIDs, file
 * numbers, sizes) are passed to the card as they are; the card refuses bad ones. A NULL pointer
 * the call needs gives KESTREL_ERR_WRONG_PARAMETER before anything is sent. On every failure
 * the caller's buffers and out arguments stay unwritten.
 * Numbers on the wire are least significant byte first: AIDs, file sizes, offsets, lengths,
 *   record sizes and counts on 3 bytes (higher bytes dropped), values and limits on 4.
 * Access rights are an array of 4 bytes: read, write, read-and-write, change; each a key
 *   number or DF_ACCESS_FREE (0x0E) / DF_ACCESS_NEVER (0x0F), below 16 (not masked). They
 *   travel as the two bytes (read-and-write << 4 | change, read << 4 | write).
 * Communication mode of file data (commMode): DF_COMM_PLAIN, DF_COMM_MACED (the data and a
 *   4-byte MAC, with the padding rule above) or DF_COMM_ENCIPHERED (the data, its CRC_A and
 *   zero padding to a multiple of 8, enciphered under the session key). The MAC and CRC cover
 *   the data only. Modes 1 and 3 need the session key of DF_AuthKey(): NULL gives
 *   KESTREL_ERR_DF_NO_SESSION_KEY, then another mode KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS,
 *   both before anything is sent. A received MAC that does not check gives
 *   KESTREL_ERR_DF_BAD_MAC, a CRC that does not check after deciphering KESTREL_ERR_DF_BAD_CRC.
 * Record files: DF_CreateRecordFile() sends the command byte 0xC1 for a cyclic file and 0xC0
 *   for a linear one. Genuine DESFire cards define 0xC0 as CreateCyclicRecordFile and 0xC1 as
 *   CreateLinearRecordFile: on such a card a file asked for as cyclic is linear and the other
 *   way round. The library keeps these bytes for compatibility with applications that rely on
 *   them.
 * MAC: this library appends a whole zero block to data whose length is a multiple of 8 before
 *   MACing it (see above); genuine cards reportedly pad only up to the next multiple of 8, so
 *   MACed transfers of such lengths may not check with them.
 * ---------------------------------------------------------------------------------------- */

/* Access codes in access rights. */
#define DF_ACCESS_FREE 0x0E
#define DF_ACCESS_NEVER 0x0F
/* Operations of DF_ChangeValue(). */
#define DF_VALUE_CREDIT 0
#define DF_VALUE_DEBIT 1
#define DF_VALUE_LIMITED_CREDIT 2

/* Called by DF_EnumApps() with its user value and one application identifier; return non-zero
 * to go on, 0 to stop. */
typedef uint8_t(KESTREL_CALL* DF_EnumAppsCallback)(uintptr_t userValue, uint32_t aid);

/* The card's version data (0x60) of all frames into buffer, length: capacity in, data length of
 * all frames out (the rules of DF_SendNativeCMDEx(); a genuine card sends 28 bytes). */
KESTREL_EXPORT int32_t KESTREL_CALL DF_GetVersion(KestrelSession* session, uint8_t* buffer,
                                                  uint16_t* length);
/* As DF_GetVersion() with a capacity of 28 bytes; the length is not returned. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_GetVersionI(KestrelSession* session, uint8_t* buffer);

/* Creates application aid (24 bits) with its key settings and number of keys. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_CreateApp(KestrelSession* session, uint32_t aid,
                                                 uint8_t keySettings, uint8_t keyCount);
/* The card's application identifiers: *count (in) is the room in aids; out, the number of
 * identifiers the card sent (at most 28: identifiers beyond them are dropped). They are copied
 * only when they all fit; otherwise aids is untouched and *count tells the room needed. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_ListApps(KestrelSession* session, uint32_t* aids,
                                                uint16_t* count);
/* Calls callback(userValue, aid) for each application identifier (at most 28) until it returns
 * 0; never for a card without applications. 0 also when stopped early. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_EnumApps(KestrelSession* session, uintptr_t userValue,
                                                DF_EnumAppsCallback callback);
/* Deletes application aid. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_DeleteApp(KestrelSession* session, uint32_t aid);
/* Selects application aid (0: the card level). */
KESTREL_EXPORT int32_t KESTREL_CALL DF_SelectApp(KestrelSession* session, uint32_t aid);
/* Deletes every application of the card. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_FormatCard(KestrelSession* session);

/* Creates a standard data file of fileSize bytes with its communication settings and access
 * rights (4 bytes). */
KESTREL_EXPORT int32_t KESTREL_CALL DF_CreateStdFile(KestrelSession* session, uint8_t fileNo,
                                                     uint8_t commSettings,
                                                     const uint8_t* accessRights,
                                                     uint32_t fileSize);
/* Creates a backup data file (changes take effect with DF_Commit()); as DF_CreateStdFile(). */
KESTREL_EXPORT int32_t KESTREL_CALL DF_CreateBackupFile(KestrelSession* session, uint8_t fileNo,
                                                        uint8_t commSettings,
                                                        const uint8_t* accessRights,
                                                        uint32_t fileSize);
/* Creates a value file: limits and initial value (4 bytes each), limited credit enabled when
 * limitedCredit is non-zero. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_CreateValueFile(KestrelSession* session, uint8_t fileNo,
                                                       uint8_t commSettings,
                                                       const uint8_t* accessRights,
                                                       uint32_t lowerLimit, uint32_t upperLimit,
                                                       uint32_t value, uint8_t limitedCredit);
/* Creates a record file of maxRecords records of recordSize bytes; cyclic non-zero sends 0xC1,
 * zero sends 0xC0 (see the record-file note above). */
KESTREL_EXPORT int32_t KESTREL_CALL DF_CreateRecordFile(KestrelSession* session, uint8_t fileNo,
                                                        uint8_t commSettings,
                                                        const uint8_t* accessRights,
                                                        uint32_t recordSize, uint32_t maxRecords,
                                                        uint8_t cyclic);
/* Deletes file fileNo of the selected application. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_DeleteFile(KestrelSession* session, uint8_t fileNo);
/* The file numbers of the selected application into fileIds (room for 16) and their number to
 * *count; at most 16 are copied, never more than the card sent. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_GetFileIDs(KestrelSession* session, uint8_t* count,
                                                  uint8_t* fileIds);
/* The settings of file fileNo: communication settings, file type, access rights (4 bytes, in
 * the order above), and the part that depends on the type (room for 13 bytes) with its length.
 * The card's answer must hold 4 to 17 bytes, else KESTREL_ERR_WRONG_ANSWER_LENGTH. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_GetFileSettings(KestrelSession* session, uint8_t fileNo,
                                                       uint8_t* commSettings, uint8_t* fileType,
                                                       uint8_t* accessRights,
                                                       uint8_t* specificLength, uint8_t* specific);
/* Changes the communication settings and access rights of file fileNo. The file's settings are
 * read first: when its change right is DF_ACCESS_FREE the new settings go plain and sessionKey
 * is not used (may be NULL); otherwise they go enciphered under sessionKey. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_ChangeFileSettings(KestrelSession* session, uint8_t fileNo,
                                                          uint8_t commSettings,
                                                          const uint8_t* accessRights,
                                                          const uint8_t* sessionKey);

/* Writes length bytes of data at offset of a standard or backup file in commMode. The length
 * sent is the data length; the data (with MAC, or enciphered with CRC and padding) goes in
 * frames of 60 bytes: the first holds the 8-byte header and 52 bytes, each next one 0xAF and 59
 * bytes. Each frame must be answered by the status byte alone, else
 * KESTREL_ERR_WRONG_ANSWER_LENGTH. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_WriteData(KestrelSession* session, uint8_t fileNo,
                                                 int32_t commMode, int32_t offset, uint32_t length,
                                                 const uint8_t* data, const uint8_t* sessionKey);
/* Writes one record (or part of it, from offset) to a record file; as DF_WriteData(). */
KESTREL_EXPORT int32_t KESTREL_CALL DF_WriteRecord(KestrelSession* session, uint8_t fileNo,
                                                   int32_t commMode, int32_t offset,
                                                   uint32_t length, const uint8_t* data,
                                                   const uint8_t* sessionKey);
/* Reads *length bytes at offset of a standard or backup file into buffer. The whole answer is
 * received, whatever its length. In DF_COMM_ENCIPHERED the CRC covers exactly *length bytes,
 * so *length must be the exact length to read. At most *length bytes are copied; *length
 * receives the data length (without MAC or padding; in DF_COMM_PLAIN what the card sent, which
 * may be more). *length = 0 reads the rest of the file in DF_COMM_PLAIN (nothing copied, the
 * length reported) and gives KESTREL_ERR_DF_BAD_MAC / KESTREL_ERR_DF_BAD_CRC in the protected
 * modes without anything sent. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_ReadData(KestrelSession* session, uint8_t fileNo,
                                                int32_t commMode, int32_t offset, uint32_t* length,
                                                uint8_t* buffer, const uint8_t* sessionKey);
/* The value of a value file (4 bytes, least significant first). In DF_COMM_PLAIN the answer's
 * length is not checked. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_GetValue(KestrelSession* session, uint8_t fileNo,
                                                int32_t commMode, uint32_t* value,
                                                const uint8_t* sessionKey);
/* Credit (operation DF_VALUE_CREDIT, 0x0C), debit (DF_VALUE_DEBIT, 0xDC) or limited credit
 * (DF_VALUE_LIMITED_CREDIT, 0x1C) of amount; takes effect with DF_Commit(). Another operation
 * gives KESTREL_ERR_DF_BAD_OPERATION_ID, checked before the mode and before anything is sent. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_ChangeValue(KestrelSession* session, uint8_t fileNo,
                                                   int32_t commMode, int32_t amount,
                                                   uint8_t operation, const uint8_t* sessionKey);
/* DF_ChangeValue() with DF_VALUE_CREDIT. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_Credit(KestrelSession* session, uint8_t fileNo,
                                              int32_t commMode, int32_t amount,
                                              const uint8_t* sessionKey);
/* DF_ChangeValue() with DF_VALUE_DEBIT. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_Debit(KestrelSession* session, uint8_t fileNo,
                                             int32_t commMode, int32_t amount,
                                             const uint8_t* sessionKey);
/* DF_ChangeValue() with DF_VALUE_LIMITED_CREDIT. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_LimitedCredit(KestrelSession* session, uint8_t fileNo,
                                                     int32_t commMode, int32_t amount,
                                                     const uint8_t* sessionKey);
/* Reads *count records (0: all) from record offset of a record file into buffer; *count
 * receives the number of whole records read. recordSize, the file's record size, finds the data
 * length: in DF_COMM_PLAIN all data received; in DF_COMM_MACED the data before the MAC; in
 * DF_COMM_ENCIPHERED the whole number of records whose CRC and zero padding make up the
 * answer and check (the shortest such). Every record size works. A record size of 0 gives
 * KESTREL_ERR_WRONG_PARAMETER without anything sent. With *count non-zero, buffer must hold
 * *count records and an answer holding more gives KESTREL_ERR_WRONG_ANSWER_LENGTH.
 * With *count 0 this function trusts the card: all the data it sends (up to 65535 bytes) is
 * written to buffer, so a card that sends more than the buffer holds overruns it. Prefer
 * DF_ReadRecordsEx(), which takes the buffer's capacity. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_ReadRecords(KestrelSession* session, uint8_t fileNo,
                                                   int32_t commMode, int32_t offset,
                                                   uint32_t* count, uint8_t* buffer,
                                                   uint32_t recordSize, const uint8_t* sessionKey);
/* DF_ReadRecords() into a buffer of known capacity. length: in, the capacity of buffer in bytes;
 * out, the data length (the bytes written). Data that does not fit gives
 * KESTREL_ERR_READING_TOO_MUCH with nothing written: buffer, *count and *length stay as they
 * were. buffer may be NULL when the capacity is 0. The rest as DF_ReadRecords(): with *count
 * 0 the card sends every record from offset on, and they must all fit. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_ReadRecordsEx(KestrelSession* session, uint8_t fileNo,
                                                     int32_t commMode, int32_t offset,
                                                     uint32_t* count, uint8_t* buffer,
                                                     uint32_t* length, uint32_t recordSize,
                                                     const uint8_t* sessionKey);
/* Empties a record file (takes effect with DF_Commit()). */
KESTREL_EXPORT int32_t KESTREL_CALL DF_ClearRecords(KestrelSession* session, uint8_t fileNo);
/* Makes the pending changes to backup, value and record files of the selected application
 * take effect. The library keeps no transaction state. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_Commit(KestrelSession* session);
/* Discards the pending changes. */
KESTREL_EXPORT int32_t KESTREL_CALL DF_Abort(KestrelSession* session);

#ifdef __cplusplus
}
#endif

#endif /* KESTREL_API_H */
