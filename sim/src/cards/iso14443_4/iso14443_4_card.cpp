#include "kestrel_sim/cards/iso14443_4/iso14443_4_card.h"

#include <algorithm>
#include <stdexcept>

namespace kestrel::sim {

namespace iso14443_4 {

namespace {

bool IsIBlock(uint8_t pcb) {
    return (pcb & 0xE2) == 0x02;
}
bool IsRBlock(uint8_t pcb) {
    return (pcb & 0xE6) == 0xA2;
}
bool IsSBlock(uint8_t pcb) {
    // S(DESELECT) 0xC2 or S(WTX) 0xF2, each with or without the CID bit.
    return (pcb & 0xC7) == 0xC2 && ((pcb & 0x30) == 0x00 || (pcb & 0x30) == 0x30);
}

BlockLayer::Result Silent() {
    return {};
}

}  // namespace

size_t FrameSizeOfIndex(uint8_t index) {
    static const size_t kSizes[] = {16, 24, 32, 40, 48, 64, 96, 128, 256};
    return kSizes[std::min<size_t>(index, 8)];
}

void BlockLayer::Start(size_t fsd, uint8_t cid) {
    Stop();
    running_ = true;
    fsd_ = fsd;
    cid_ = cid;
}

void BlockLayer::Stop() {
    running_ = false;
    blockNumber_ = 1;
    withCid_ = false;
    lastBlock_.clear();
    incoming_.clear();
    outgoing_.clear();
    outgoingSent_ = 0;
    chainingOut_ = false;
    waitingWtx_ = false;
    heldBlock_.clear();
}

bool BlockLayer::RequestWaitingTimeExtensions(int count, uint8_t wtxm) {
    if (count < 1 || wtxm < 1 || wtxm > kMaxWtxm) return false;
    pendingWtx_ += count;
    wtxm_ = wtxm;
    return true;
}

Bytes BlockLayer::Header(uint8_t pcb) const {
    if (!withCid_) return {pcb};
    return {static_cast<uint8_t>(pcb | kCidFollows), cid_};
}

Bytes BlockLayer::WithCidAsAsked(Bytes block) const {
    const bool hasCid = (block[0] & kCidFollows) != 0;
    if (hasCid && !withCid_) {
        block.erase(block.begin() + 1);
        block[0] = static_cast<uint8_t>(block[0] & ~kCidFollows);
    } else if (!hasCid && withCid_) {
        block.insert(block.begin() + 1, cid_);
        block[0] = static_cast<uint8_t>(block[0] | kCidFollows);
    }
    return block;
}

size_t BlockLayer::MaxAnswerInformation() const {
    // Frame size minus CRC (2) and PCB, and the CID byte when one is sent.
    return fsd_ - 3 - (withCid_ ? 1 : 0);
}

Bytes BlockLayer::NextAnswerBlock() {
    const size_t left = outgoing_.size() - outgoingSent_;
    const size_t chunk = std::min(left, MaxAnswerInformation());
    chainingOut_ = chunk < left;
    Bytes block =
        Header(static_cast<uint8_t>(kIBlock | (chainingOut_ ? kChaining : 0) | blockNumber_));
    block.insert(block.end(), outgoing_.begin() + static_cast<ptrdiff_t>(outgoingSent_),
                 outgoing_.begin() + static_cast<ptrdiff_t>(outgoingSent_ + chunk));
    outgoingSent_ += chunk;
    if (!chainingOut_) {
        outgoing_.clear();
        outgoingSent_ = 0;
    }
    return block;
}

BlockLayer::Result BlockLayer::Send(Bytes block) {
    lastBlock_ = block;
    return Result{std::move(block), false};
}

BlockLayer::Result BlockLayer::Answer(Bytes block) {
    if (pendingWtx_ == 0) return Send(std::move(block));
    // The answer waits behind the requested waiting-time extensions.
    --pendingWtx_;
    waitingWtx_ = true;
    heldBlock_ = std::move(block);
    Bytes request = Header(kSWtx);
    request.push_back(wtxm_);
    return Send(std::move(request));
}

BlockLayer::Result BlockLayer::Receive(const Bytes& block, const MessageHandler& handler) {
    if (!running_ || block.empty() || block.size() > options_.fsc - 2) return Silent();
    const uint8_t pcb = block[0];
    size_t header = 1;
    if (pcb & kCidFollows) {
        if (!options_.cidSupported || block.size() < 2 || (block[1] & 0x0F) != cid_) {
            return Silent();
        }
        header = 2;
    } else if (cid_ != 0) {
        return Silent();  // a card with a CID other than 0 answers only blocks naming it
    }
    const uint8_t* information = block.data() + header;
    const size_t length = block.size() - header;

    if (IsIBlock(pcb)) {
        if (pcb & kNadFollows) return Silent();  // the card supports no NAD
        withCid_ = (pcb & kCidFollows) != 0;
        return ReceiveIBlock(pcb, information, length, handler);
    }
    if (IsRBlock(pcb)) {
        if (length != 0) return Silent();
        withCid_ = (pcb & kCidFollows) != 0;
        return ReceiveRBlock(pcb);
    }
    if (IsSBlock(pcb)) {
        if ((pcb & 0x30) == 0x30) {
            withCid_ = (pcb & kCidFollows) != 0;
            return ReceiveWtxResponse(information, length);
        }
        if (length != 0) return Silent();
        withCid_ = (pcb & kCidFollows) != 0;
        Result result = Send(Header(kSDeselect));
        result.deselected = true;
        return result;
    }
    return Silent();
}

BlockLayer::Result BlockLayer::ReceiveIBlock(uint8_t pcb, const uint8_t* information, size_t length,
                                             const MessageHandler& handler) {
    if (incoming_.size() + length > kMaxMessage) {
        incoming_.clear();
        return Silent();
    }
    // A new message from the host ends whatever the card was still sending or holding.
    outgoing_.clear();
    outgoingSent_ = 0;
    chainingOut_ = false;
    waitingWtx_ = false;
    heldBlock_.clear();

    blockNumber_ ^= 1;
    incoming_.insert(incoming_.end(), information, information + length);
    if (pcb & kChaining) return Answer(Header(static_cast<uint8_t>(kRAck | blockNumber_)));

    const Bytes message = std::move(incoming_);
    incoming_.clear();
    outgoing_ = handler(message);
    outgoingSent_ = 0;
    return Answer(NextAnswerBlock());
}

BlockLayer::Result BlockLayer::ReceiveRBlock(uint8_t pcb) {
    const uint8_t number = pcb & kBlockNumber;
    const bool nak = (pcb & 0x10) != 0;
    if (number == blockNumber_) {
        if (lastBlock_.empty()) return Silent();
        // The host missed the card's last block: it goes out again, with the CID as now asked.
        return Send(WithCidAsAsked(lastBlock_));
    }
    if (nak) return Send(Header(static_cast<uint8_t>(kRAck | blockNumber_)));
    if (!chainingOut_) return Silent();
    blockNumber_ ^= 1;
    return Send(NextAnswerBlock());
}

BlockLayer::Result BlockLayer::ReceiveWtxResponse(const uint8_t* information, size_t length) {
    if (!waitingWtx_ || length != 1 || (information[0] & kWtxmMask) != wtxm_) return Silent();
    if (pendingWtx_ > 0) {
        --pendingWtx_;
        Bytes request = Header(kSWtx);
        request.push_back(wtxm_);
        return Send(std::move(request));
    }
    waitingWtx_ = false;
    Bytes held = std::move(heldBlock_);
    heldBlock_.clear();
    return Send(WithCidAsAsked(std::move(held)));
}

}  // namespace iso14443_4

namespace {

iso14443_4::BlockLayer::Options OptionsFromAts(const Bytes& ats, uint8_t sak, uint8_t* bitRates) {
    if ((sak & 0x20) == 0) {
        throw std::invalid_argument("an ISO/IEC 14443-4 card has SAK bit 0x20 set");
    }
    if (ats.empty() || ats[0] != ats.size()) {
        throw std::invalid_argument("the ATS must start with its own length (TL)");
    }
    iso14443_4::BlockLayer::Options options;
    options.fsc = iso14443_4::FrameSizeOfIndex(2);  // 32 bytes without a format byte
    options.cidSupported = true;
    options.nadSupported = false;
    *bitRates = 0;
    if (ats.size() < 2) return options;
    const uint8_t t0 = ats[1];
    options.fsc = iso14443_4::FrameSizeOfIndex(t0 & 0x0F);
    size_t next = 2;
    auto take = [&](uint8_t presentBit) -> std::optional<uint8_t> {
        if (!(t0 & presentBit)) return std::nullopt;
        if (next >= ats.size()) throw std::invalid_argument("the ATS lacks an interface byte");
        return ats[next++];
    };
    if (auto ta = take(0x10)) *bitRates = *ta;
    take(0x20);  // TB: frame waiting time and start-up guard time
    if (auto tc = take(0x40)) {
        options.cidSupported = (*tc & 0x02) != 0;
        options.nadSupported = (*tc & 0x01) != 0;
    }
    return options;
}

}  // namespace

Iso14443_4Card::Iso14443_4Card(std::string type, Bytes uid, uint16_t atqa, uint8_t sak, Bytes ats)
    : Card(std::move(type), std::move(uid), atqa, sak),
      ats_(std::move(ats)),
      blocks_(OptionsFromAts(ats_, sak, &bitRates_)) {}

void Iso14443_4Card::Reset() {
    phase_ = Phase::kWaitRats;
    blocks_.Stop();
    dsi_ = 0;
    dri_ = 0;
}

void Iso14443_4Card::OnActivated() {
    Reset();
}

void Iso14443_4Card::OnDeactivated() {
    Reset();
}

Iso14443_4Card::AirAnswer Iso14443_4Card::Transceive(const Bytes& frame) {
    if (phase_ == Phase::kWaitRats) return Rats(frame);
    if (phase_ == Phase::kWaitPps) {
        if (!frame.empty() && (frame[0] & 0xF0) == iso14443_4::kPpsStart) return Pps(frame);
        phase_ = Phase::kProtocol;
    }
    const iso14443_4::BlockLayer::Result result =
        blocks_.Receive(frame, [this](const Bytes& message) { return HandleMessage(message); });
    return AirAnswer{result.answer, result.deselected ? CardExit::kHalt : CardExit::kStay};
}

Iso14443_4Card::AirAnswer Iso14443_4Card::Rats(const Bytes& frame) {
    // In the active state of ISO/IEC 14443-3 only RATS is understood; any other frame sends
    // the card back, as it does a card without this protocol.
    if (frame.size() != 2 || frame[0] != iso14443_4::kRats) return AirAnswer{{}, CardExit::kIdle};
    const uint8_t cid = frame[1] & 0x0F;
    if (cid == 0x0F) return AirAnswer{{}, CardExit::kIdle};  // CID 15 is reserved
    blocks_.Start(iso14443_4::FrameSizeOfIndex(frame[1] >> 4), cid);
    phase_ = Phase::kWaitPps;
    return AirAnswer{ats_, CardExit::kStay};
}

Iso14443_4Card::AirAnswer Iso14443_4Card::Pps(const Bytes& frame) {
    // PPSS (0xD0 | CID), PPS0 (0x11 with PPS1, 0x01 without), PPS1 (DSI << 2 | DRI).
    const bool withPps1 = frame.size() == 3 && frame[1] == 0x11;
    const bool withoutPps1 = frame.size() == 2 && frame[1] == 0x01;
    if ((!withPps1 && !withoutPps1) || (frame[0] & 0x0F) != blocks_.Cid()) return {};
    uint8_t dsi = 0;
    uint8_t dri = 0;
    if (withPps1) {
        if (frame[2] & 0xF0) return {};
        dsi = (frame[2] >> 2) & 0x03;
        dri = frame[2] & 0x03;
        // TA bits 0x10, 0x20, 0x40: the card sends at 2, 4, 8 times the base rate; bits 0x01,
        // 0x02, 0x04: it receives at those rates.
        if (dsi != 0 && !(bitRates_ & (0x10 << (dsi - 1)))) return {};
        if (dri != 0 && !(bitRates_ & (0x01 << (dri - 1)))) return {};
    }
    dsi_ = dsi;
    dri_ = dri;
    phase_ = Phase::kProtocol;
    return AirAnswer{Bytes{frame[0]}, CardExit::kStay};
}

}  // namespace kestrel::sim
