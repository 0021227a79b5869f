#include "exchange/stream_reader.hpp"

#include "codec/base64.hpp"
#include "codec/json_reader.hpp"
#include "crypto/crypto.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <string_view>

namespace ossara::detail {

namespace {

constexpr std::string_view kStreamContext = "veilrelay-stream-v1";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

[[noreturn]] void refuse(const char* what) { throw SecurityError(std::string("Stream refused: ") + what); }

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Strict standard base64: only the alphabet, '=' only as padding, whole groups.
std::vector<std::uint8_t> decode_strict(const json& value) {
    if (!value.is_string()) refuse("malformed event");
    const std::string& text = value.get_ref<const std::string&>();
    if (text.size() % 4 != 0) refuse("malformed base64");
    const std::size_t pads = text.size() - std::min(text.size(), text.find_last_not_of('=') + 1);
    if (pads > 2) refuse("malformed base64");
    for (std::size_t i = 0; i + pads < text.size(); ++i) {
        const char c = text[i];
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (!ok) refuse("malformed base64");
    }
    try {
        return base64_decode_lenient(text);
    } catch (const ValueError&) {
        refuse("malformed base64");
    }
}

json parse_event(const std::string& data) {
    json value;
    try {
        value = parse_json(data);
    } catch (const json::exception&) {
        refuse("malformed event");
    }
    if (!value.is_object()) refuse("malformed event");
    return value;
}

const json& member(const json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end()) refuse("malformed event");
    return *it;
}

std::array<std::uint8_t, 8> big_endian(std::uint64_t value) {
    std::array<std::uint8_t, 8> out{};
    for (int i = 7; i >= 0; --i, value >>= 8) out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value & 0xff);
    return out;
}

}  // namespace

StreamReader::StreamReader(EVP_PKEY* own_key, std::string payload_id, bool secure_memory)
    : own_key_(own_key), payload_id_(std::move(payload_id)), secure_memory_(secure_memory) {}

void StreamReader::feed(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    if (final_seen_) {
        // The LF of a CRLF whose CR ended the final event is part of it.
        if (skip_lf_ && bytes.front() == '\n') {
            skip_lf_ = false;
            bytes = bytes.subspan(1);
            if (bytes.empty()) return;
        }
        refuse("data after the final chunk");
    }
    // Bounded by the caller taking every chunk before it feeds more: the
    // buffer holds at most one event in progress and the last piece fed.
    buffer_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::optional<std::string> StreamReader::next_event() {
    if (at_start_) {
        // A part of a byte-order mark waits for the rest of it; a whole one goes.
        if (buffer_.size() < kByteOrderMark.size() && kByteOrderMark.starts_with(buffer_)) return std::nullopt;
        if (std::string_view(buffer_).starts_with(kByteOrderMark)) buffer_.erase(0, kByteOrderMark.size());
        at_start_ = false;
    }
    for (;;) {
        if (skip_lf_ && consumed_ < buffer_.size()) {
            skip_lf_ = false;
            if (buffer_[consumed_] == '\n') {
                ++consumed_;
                continue;
            }
        }
        const std::size_t end = buffer_.find_first_of("\r\n", std::max(consumed_, scanned_));
        if (end == std::string::npos) {
            // Keep only the line in progress, and where its search for a line end stopped.
            buffer_.erase(0, consumed_);
            consumed_ = 0;
            scanned_ = buffer_.size();
            // The line in progress belongs to the current event.
            if (event_bytes_ + buffer_.size() > kMaxStreamEventBytes) refuse("event too large");
            return std::nullopt;
        }
        const std::string_view line(buffer_.data() + consumed_, end - consumed_);
        event_bytes_ += line.size() + 1;
        if (event_bytes_ > kMaxStreamEventBytes) refuse("event too large");
        consumed_ = end + 1;
        skip_lf_ = buffer_[end] == '\r';
        if (!line.empty()) {
            take_line(line);
            continue;
        }
        event_bytes_ = 0;
        if (!has_data_) continue;  // a blank line with no event before it
        has_data_ = false;
        std::string data;
        data.swap(data_);
        return data;
    }
}

void StreamReader::take_line(std::string_view line) {
    // Comments (":...") and fields other than data (event, id, retry,
    // unknown ones) carry nothing of the answer. A line without a colon is
    // a field with an empty value.
    if (line.starts_with(':')) return;
    const std::size_t colon = line.find(':');
    if (line.substr(0, colon) != "data") return;
    std::string_view value = colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
    if (value.starts_with(' ')) value.remove_prefix(1);
    if (has_data_) data_ += '\n';
    data_.append(value);
    has_data_ = true;
}

std::optional<StreamChunk> StreamReader::next_chunk() {
    while (!final_seen_) {
        std::optional<std::string> data = next_event();
        if (!data) return std::nullopt;
        if (!header_seen_) {
            open_header(*data);
            continue;
        }
        StreamChunk chunk = open_chunk(*data);
        if (chunk.final && skip_lf_ && consumed_ < buffer_.size() && buffer_[consumed_] == '\n') {
            ++consumed_;
            skip_lf_ = false;
        }
        if (chunk.final && (consumed_ < buffer_.size() || has_data_)) refuse("data after the final chunk");
        return chunk;
    }
    return std::nullopt;
}

void StreamReader::open_header(const std::string& data) {
    const json header = parse_event(data);
    const auto version = header.find("v");
    if (version == header.end() || !version->is_number_integer() || *version != 1 || !header.contains("wrapped_key") ||
        !header.contains("nonce_base"))
        refuse("header missing or malformed");
    const std::vector<std::uint8_t> wrapped = decode_strict(header["wrapped_key"]);
    const std::vector<std::uint8_t> nonce_base = decode_strict(header["nonce_base"]);
    if (nonce_base.size() != kGcmNonceSize) refuse("header missing or malformed");
    try {
        key_ = rsa_oaep_unwrap(own_key_, wrapped);
    } catch (const std::exception&) {
        refuse("the answer's key does not unwrap");
    }
    if (key_.size() != kAesKeySize) {
        key_.wipe();
        refuse("the answer's key does not unwrap");
    }
    if (secure_memory_) {
        // As on the plain path: the key lives on in a locked guard, its source is wiped on entry.
        guarded_key_.emplace(enter_secure_bytearray(key_.span(), true));
        key_.release_wiped();
    }
    nonce_base_.assign(nonce_base.begin(), nonce_base.end());
    header_seen_ = true;
}

void StreamReader::drop_key() noexcept {
    guarded_key_.reset();
    key_.wipe();
}

StreamChunk StreamReader::open_chunk(const std::string& data) {
    const json event = parse_event(data);
    const json& seq = member(event, "seq");
    const json& final = member(event, "final");
    if (!seq.is_number_unsigned() && !seq.is_number_integer()) refuse("malformed event");
    if (!final.is_boolean()) refuse("malformed event");
    if (seq.is_number_integer() && seq.get<std::int64_t>() < 0) refuse("chunk out of order or repeated");
    const std::uint64_t n = seq.get<std::uint64_t>();
    if (n != next_seq_) refuse("chunk out of order or repeated");
    const std::vector<std::uint8_t> ciphertext = decode_strict(member(event, "ciphertext"));
    const std::vector<std::uint8_t> tag = decode_strict(member(event, "tag"));
    if (ciphertext.size() > kMaxStreamChunkBytes) refuse("chunk too large");
    if (tag.size() != kGcmTagSize) refuse("chunk failed authentication");

    // nonce = base XOR (4 zero bytes || n big-endian); additional data binds
    // the context, the payload id, n and the final flag.
    std::array<std::uint8_t, kGcmNonceSize> nonce{};
    const std::array<std::uint8_t, 8> counter = big_endian(n);
    for (std::size_t i = 0; i < kGcmNonceSize; ++i)
        nonce[i] = static_cast<std::uint8_t>(nonce_base_[i]) ^ (i < 4 ? 0 : counter[i - 4]);
    std::string aad(kStreamContext);
    aad += '\0';
    aad += payload_id_;
    aad += '\0';
    aad.append(reinterpret_cast<const char*>(counter.data()), counter.size());
    aad += final.get<bool>() ? '\x01' : '\x00';

    StreamChunk chunk{SecretBytes(ciphertext.size()), final.get<bool>()};
    try {
        AesGcmDecryptor decryptor(guarded_key_ ? std::span<const std::uint8_t>(guarded_key_->data()) : key_.span(),
                                  nonce, tag);
        decryptor.authenticate(bytes_of(aad));
        decryptor.update(ciphertext, chunk.plaintext.data());
        decryptor.finish();
    } catch (const std::exception&) {
        chunk.plaintext.wipe();
        refuse("chunk failed authentication");
    }
    ++next_seq_;
    if (chunk.final) {
        final_seen_ = true;
        drop_key();
    }
    return chunk;
}

void StreamReader::finish() const {
    if (!final_seen_) refuse("truncated: the answer ended before its final chunk");
}

}  // namespace ossara::detail
