#include "kestrel_sim/reader/virtual_reader.h"

#include <algorithm>

#include "kestrel_sim/cards/iso14443_4/iso14443_4_card.h"

namespace kestrel::sim {

bool VirtualReader::AddCard(std::unique_ptr<Card> card, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    return firmware_.field().Add(std::move(card), error);
}

bool VirtualReader::RemoveCard(const Bytes& uid) {
    std::lock_guard<std::mutex> lock(mutex_);
    return firmware_.field().Remove(uid) != nullptr;
}

std::unique_ptr<Card> VirtualReader::TakeCard(const Bytes& uid) {
    std::lock_guard<std::mutex> lock(mutex_);
    return firmware_.field().Remove(uid);
}

std::vector<CardInfo> VirtualReader::ListCards() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<CardInfo> cards;
    for (const Card* card : firmware_.field().Cards()) {
        cards.push_back(CardInfo{card->Type(), card->Uid(), card->Atqa(), card->Sak(),
                                 firmware_.field().StateOf(*card), card->ImagePath()});
    }
    return cards;
}

std::optional<CardState> VirtualReader::StateOf(const Bytes& uid) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Card* card = firmware_.field().Find(uid);
    if (card == nullptr) return std::nullopt;
    return firmware_.field().StateOf(*card);
}

uint32_t VirtualReader::CardTimeOut() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return firmware_.CardTimeOut();
}

uint64_t VirtualReader::RequestsServed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requestsServed_;
}

bool VirtualReader::RequestWaitingTimeExtensions(const Bytes& uid, int count, uint8_t wtxm) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto* card = dynamic_cast<Iso14443_4Card*>(firmware_.field().Find(uid));
    return card != nullptr && card->RequestWaitingTimeExtensions(count, wtxm);
}

void VirtualReader::DropNextAnswer() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.drop = true;
}

void VirtualReader::DelayNextAnswer(uint32_t ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.delayMs = ms;
}

void VirtualReader::CorruptNextAnswerCrc() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.corruptCrc = true;
}

void VirtualReader::WrongSequenceInNextAnswer() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.wrongSequence = true;
}

void VirtualReader::BreakLinkInNextAnswer(size_t bytesBeforeBreak) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.breakAfter = bytesBeforeBreak;
}

void VirtualReader::SplitNextAnswer(size_t pieces, uint32_t gapMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.pieces = std::max<size_t>(pieces, 1);
    faults_.gapMs = gapMs;
}

void VirtualReader::DeferFaults(size_t answers) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.deferred = answers;
}

void VirtualReader::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = Faults{};
}

void VirtualReader::SetFrameLogger(FrameLogger logger) {
    std::lock_guard<std::mutex> lock(mutex_);
    logger_ = std::move(logger);
}

void VirtualReader::Log(FrameLogEntry entry) {
    if (logger_) logger_(entry);
}

void VirtualReader::NoteNoise(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    FrameLogEntry entry;
    entry.direction = LogDirection::kToReader;
    entry.note = "skipped " + std::to_string(bytes) + " bytes of noise";
    Log(std::move(entry));
}

std::optional<Transmission> VirtualReader::Serve(const Frame& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++requestsServed_;
    const std::string name = firmware_.CommandName(request.code);
    Log(FrameLogEntry{LogDirection::kToReader, request.raw, name, std::nullopt,
                      request.crcOk ? "" : "bad CRC"});

    Answer answer = request.crcOk ? firmware_.Execute(request.code, request.data)
                                  : Answer{status::kBadFrame, {}};
    if (answer.data.size() > kMaxFrameData) answer = Answer{status::kProtocolOverflow, {}};

    Faults faults;
    if (faults_.deferred > 0) {
        --faults_.deferred;
    } else {
        faults = faults_;
        faults_ = Faults{};
    }
    std::string notes;
    auto note = [&notes](const std::string& text) { notes += (notes.empty() ? "" : ", ") + text; };
    // What the command changed on the reader's devices (LEDs, buzzer) goes to the log too.
    if (const std::string changes = firmware_.config().TakeLogNote(); !changes.empty()) {
        note(changes);
    }

    const uint8_t sequence =
        faults.wrongSequence ? static_cast<uint8_t>(request.sequence + 1) : request.sequence;
    if (faults.wrongSequence) note("wrong sequence");
    Bytes frame = EncodeFrame(sequence, answer.status, answer.data);
    if (faults.corruptCrc) {
        frame[frame.size() - 2] ^= 0xFF;
        note("corrupt CRC");
    }
    if (faults.drop) {
        note("dropped");
        Log(FrameLogEntry{LogDirection::kToHost, frame, name, answer.status, notes});
        return std::nullopt;
    }

    Transmission transmission;
    if (faults.breakAfter) {
        const size_t keep = std::clamp<size_t>(*faults.breakAfter, 1, frame.size() - 1);
        frame.resize(keep);
        transmission.breakLink = true;
        note("link broken after " + std::to_string(keep) + " bytes");
    }
    const size_t pieces = std::min(faults.pieces, frame.size());
    const size_t pieceSize = (frame.size() + pieces - 1) / pieces;
    for (size_t offset = 0; offset < frame.size(); offset += pieceSize) {
        const size_t end = std::min(frame.size(), offset + pieceSize);
        Transmission::Chunk chunk;
        chunk.bytes.assign(frame.begin() + static_cast<std::ptrdiff_t>(offset),
                           frame.begin() + static_cast<std::ptrdiff_t>(end));
        chunk.delayMs = offset == 0 ? faults.delayMs : faults.gapMs;
        transmission.chunks.push_back(std::move(chunk));
    }
    if (faults.delayMs > 0) note("delayed " + std::to_string(faults.delayMs) + " ms");
    if (transmission.chunks.size() > 1) {
        note("in " + std::to_string(transmission.chunks.size()) + " pieces");
    }
    Log(FrameLogEntry{LogDirection::kToHost, frame, name, answer.status, notes});
    return transmission;
}

HostConnection::HostConnection(VirtualReader& reader, size_t maxRequestData)
    : reader_(reader), decoder_(maxRequestData) {}

void HostConnection::ReportNoise() {
    const size_t discarded = decoder_.DiscardedBytes();
    if (discarded > noiseReported_) {
        reader_.NoteNoise(discarded - noiseReported_);
        noiseReported_ = discarded;
    }
}

void HostConnection::OnFrame(const Frame& frame, std::vector<Transmission>& out) {
    ReportNoise();
    if (std::optional<Transmission> answer = reader_.Serve(frame)) {
        out.push_back(std::move(*answer));
    }
}

std::vector<Transmission> HostConnection::Receive(const uint8_t* data, size_t length) {
    std::vector<Transmission> out;
    decoder_.Feed(data, length, [&](const Frame& frame) { OnFrame(frame, out); });
    ReportNoise();
    return out;
}

std::vector<Transmission> HostConnection::LineQuiet() {
    std::vector<Transmission> out;
    decoder_.LineQuiet([&](const Frame& frame) { OnFrame(frame, out); });
    ReportNoise();
    return out;
}

}  // namespace kestrel::sim
