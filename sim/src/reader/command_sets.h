// The command sets the firmware puts in its table besides the Type A core.
#pragma once

namespace kestrel::sim {

class Firmware;

// Adds the reader commands that carry ISO/IEC 14443-4 frames to the active card:
//   0x03 ExchangeBlock: parameter byte, block length (u16), block -> the card's answer block
//   0xE7 RequestATS: RATS parameter byte -> the ATS
//   0x48 ExchangeTimed: frame length (u16), flag byte, card time-out (u32, ms), frame (with
//        room for its CRC_A in its last two bytes) -> answer length n (u16), n bytes of the
//        card's answer frame, its CRC_A included
// Status 0xFF when no card is active, 0xEA when the card stays silent (also a card without
// ISO/IEC 14443-4, which then falls back to idle as after any frame it does not know), 0xFA
// for malformed parameters. The parameter byte of 0x03 and the time-out of 0x48 have no
// effect; flag bit 0x01 of 0x48 makes the reader put the CRC_A into the frame's last two
// bytes, without it the frame must carry a correct CRC_A already (else the card ignores it).
void RegisterIso14443_4Commands(Firmware& firmware);

// Adds the Type B reader commands (typeb_command) to the table. Answers:
//   REQB/WUPB (0xB0-0xB2), slot marker (0xB4): the ATQB of the one card that answers in that
//     slot; 0xFF and no data when none does; 0xE8 and no data when several do (they are
//     declared all the same, as their ATQBs went out).
//   ATTRIB (0xB3): MBLI/CID byte, the parameter-2 byte the card accepted, n, then n bytes of
//     the card's higher-layer answer. 0xFF with 00 00 00 when no declared card has the PUPI.
//   HLTB (0xB5): no data; 0xFF when no declared or active card has the PUPI.
//   0xFA for parameters of the wrong length or a slot count code or slot number out of range.
void RegisterTypeBCommands(Firmware& firmware);

// Adds the configuration commands (config_command) to the table; they work on
// firmware.config(). Parameters of the wrong length or values out of range answer 0xFA
// (ReadReg then with one zero byte, so the answer keeps its length); a write to a read-only
// register 0xFC; the RF scan commands 0xF9 unless the reader supports RF scan.
void RegisterReaderConfigCommands(Firmware& firmware);

}  // namespace kestrel::sim
