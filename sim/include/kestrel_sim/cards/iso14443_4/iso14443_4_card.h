// ISO/IEC 14443-4 on the card's side: RATS and ATS, PPS, and the half-duplex block protocol
// (I-blocks with chaining both ways, R(ACK)/R(NAK), block numbers, CID, S(DESELECT), S(WTX)).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "kestrel_sim/cards/card.h"

namespace kestrel::sim {

namespace iso14443_4 {

constexpr uint8_t kRats = 0xE0;      // RATS start byte; the parameter byte follows
constexpr uint8_t kPpsStart = 0xD0;  // PPSS = 0xD0 | CID

// Protocol control bytes.
constexpr uint8_t kIBlock = 0x02;
constexpr uint8_t kRAck = 0xA2;
constexpr uint8_t kRNak = 0xB2;
constexpr uint8_t kSDeselect = 0xC2;
constexpr uint8_t kSWtx = 0xF2;
constexpr uint8_t kChaining = 0x10;     // I-block: more blocks of the message follow
constexpr uint8_t kCidFollows = 0x08;   // a CID byte follows the PCB
constexpr uint8_t kNadFollows = 0x04;   // I-block: a NAD byte follows
constexpr uint8_t kBlockNumber = 0x01;  // I- and R-blocks
constexpr uint8_t kWtxmMask = 0x3F;     // the WTXM bits of the S(WTX) parameter byte
constexpr uint8_t kMaxWtxm = 59;

// FSDI / FSCI to a frame size in bytes (CRC included): 16, 24, 32, 40, 48, 64, 96, 128, 256.
// Values above 8 are read as 8 (256 bytes), as the standard tells cards to do.
size_t FrameSizeOfIndex(uint8_t index);

// The card's side of the block protocol. It knows nothing of Type A or Type B activation: the
// activation (RATS, or ATTRIB for Type B) starts it with the host's frame size and the CID.
//
// Rules (ISO/IEC 14443-4, rules for the card): the block number is 1 when the protocol starts;
// every I-block received toggles it, and every block the card sends carries it. R(ACK) or
// R(NAK) with the card's current number: the last block is sent again. R(NAK) with the other
// number: R(ACK) (the host's presence check). R(ACK) with the other number while the card
// chains its answer: the number toggles and the next part goes out. An I-block with the
// chaining bit is acknowledged with R(ACK). Answers longer than the host's frame size go out
// chained. Every answer carries a CID byte exactly when the block it answers carried one.
//
// Blocks the card does not accept get no answer at all: an empty block, a PCB that is none of
// the block types, a NAD the card does not support, a CID byte missing or naming another
// card, no CID while the card's CID is not 0, a CID when the card does not support CIDs, an
// R- or S(DESELECT) block with bytes after its header, a block longer than the card's frame
// size, an S(WTX) response when the card asked for none or with another WTXM, R(ACK) with the
// other number while the card is not chaining, a message longer than kMaxMessage. The card's
// state does not change for them.
class BlockLayer {
  public:
    struct Options {
        size_t fsc = 64;           // the card's frame size, CRC included
        bool cidSupported = true;  // from the ATS (TC bit 0x02)
        bool nadSupported = false;
    };
    // Longest message (of all chained blocks) the card takes.
    static constexpr size_t kMaxMessage = 4096;

    // One whole message in, its answer message out.
    using MessageHandler = std::function<Bytes(const Bytes& message)>;

    struct Result {
        std::optional<Bytes> answer;  // nullopt: the card stays silent
        bool deselected = false;      // S(DESELECT) answered: the card goes to halt
    };

    explicit BlockLayer(Options options) : options_(options) {}

    // The protocol starts (after RATS or ATTRIB): block number 1, nothing pending.
    void Start(size_t fsd, uint8_t cid);
    // The protocol ends (deselect, halt, field reset): blocks get no answer until Start.
    void Stop();
    bool Running() const { return running_; }

    Result Receive(const Bytes& block, const MessageHandler& handler);

    // The card's next answer to an I-block is preceded by `count` S(WTX) requests with `wtxm`;
    // each must be answered by the host with an S(WTX) response with the same WTXM. False
    // (nothing changes) for a count below 1 or a WTXM outside 1 to 59. Calls add up.
    bool RequestWaitingTimeExtensions(int count, uint8_t wtxm);
    int PendingWaitingTimeExtensions() const { return pendingWtx_; }

    size_t Fsd() const { return fsd_; }
    uint8_t Cid() const { return cid_; }
    uint8_t BlockNumber() const { return blockNumber_; }
    const Options& options() const { return options_; }

  private:
    // Header of an answer block: PCB (plus the CID bit when the host used one) and the CID.
    Bytes Header(uint8_t pcb) const;
    // A block built earlier (sent before, or held behind S(WTX)), with or without the CID byte
    // as the block now being answered asks.
    Bytes WithCidAsAsked(Bytes block) const;
    size_t MaxAnswerInformation() const;
    // The next part of the outgoing message as an I-block.
    Bytes NextAnswerBlock();
    // Sends a block (remembering it for retransmission), or first the injected S(WTX) requests.
    Result Answer(Bytes block);
    Result Send(Bytes block);
    Result ReceiveIBlock(uint8_t pcb, const uint8_t* information, size_t length,
                         const MessageHandler& handler);
    Result ReceiveRBlock(uint8_t pcb);
    Result ReceiveWtxResponse(const uint8_t* information, size_t length);

    Options options_;
    bool running_ = false;
    size_t fsd_ = 16;
    uint8_t cid_ = 0;
    uint8_t blockNumber_ = 1;
    bool withCid_ = false;  // the block being answered carried a CID
    Bytes lastBlock_;       // empty until the card has sent a block
    Bytes incoming_;        // the host's chained message so far
    Bytes outgoing_;        // the answer message being chained to the host
    size_t outgoingSent_ = 0;
    bool chainingOut_ = false;
    int pendingWtx_ = 0;
    uint8_t wtxm_ = 1;
    bool waitingWtx_ = false;  // an S(WTX) request is out; heldBlock_ follows its response
    Bytes heldBlock_;
};

}  // namespace iso14443_4

// A Type A card with ISO/IEC 14443-4 (SAK bit 0x20). After selection it waits for RATS and
// answers it with its ATS; the RATS parameter byte gives the host's frame size (FSDI, upper
// nibble) and the card's CID (lower nibble; 15 is refused). The first frame after the ATS
// may be a PPS, answered with its PPSS; every other frame from then on is a block of the
// block protocol, and whole messages go to HandleMessage. S(DESELECT) sends the card to halt.
//
// The reader reaches the card with ExchangeBlock (0x03), RequestATS (0xE7) and ExchangeTimed
// (0x48), which hand each frame to Transceive.
class Iso14443_4Card : public Card {
  public:
    enum class Phase { kWaitRats, kWaitPps, kProtocol };

    struct AirAnswer {
        std::optional<Bytes> frame;  // without CRC; nullopt: the card stays silent
        CardExit exit = CardExit::kStay;
    };

    // `ats` is the whole ATS from TL on, without CRC. Its format byte T0 gives the card's
    // frame size (FSCI) and which interface bytes follow; TA lists the bit rates a PPS may
    // choose, TC bit 0x02 the CID support and bit 0x01 the NAD support. Throws
    // std::invalid_argument for a SAK without 0x20 or an ATS whose TL is not its length.
    Iso14443_4Card(std::string type, Bytes uid, uint16_t atqa, uint8_t sak, Bytes ats);

    // One frame on the air to this card while it is active, without its CRC: RATS in the
    // first phase (any other frame sends the card back to idle, as an unknown frame does),
    // then PPS or blocks.
    AirAnswer Transceive(const Bytes& frame);

    // See BlockLayer::RequestWaitingTimeExtensions.
    bool RequestWaitingTimeExtensions(int count, uint8_t wtxm) {
        return blocks_.RequestWaitingTimeExtensions(count, wtxm);
    }

    const Bytes& Ats() const { return ats_; }
    Phase phase() const { return phase_; }
    const iso14443_4::BlockLayer& blocks() const { return blocks_; }
    // DSI and DRI of the last accepted PPS (0 and 0 until one came).
    uint8_t Dsi() const { return dsi_; }
    uint8_t Dri() const { return dri_; }

    // Subclasses that override these call them too.
    void OnActivated() override;
    void OnDeactivated() override;

  protected:
    // One whole message from the host (a command), and the card's answer message.
    virtual Bytes HandleMessage(const Bytes& message) = 0;

  private:
    AirAnswer Rats(const Bytes& frame);
    AirAnswer Pps(const Bytes& frame);
    void Reset();

    Bytes ats_;
    uint8_t bitRates_ = 0;  // TA: bits 0x70 DS 2/4/8, bits 0x07 DR 2/4/8
    Phase phase_ = Phase::kWaitRats;
    iso14443_4::BlockLayer blocks_;
    uint8_t dsi_ = 0;
    uint8_t dri_ = 0;
};

}  // namespace kestrel::sim
