#include "patcher/sha256.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "patcher/cpu_features.h"

namespace {

constexpr Sha256State INITIAL_STATE = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr std::string_view HEX_DIGITS = "0123456789abcdef";

// Where the message length goes in the last block.
constexpr std::size_t LENGTH_OFFSET = SHA256_BLOCK_SIZE - 8;

Sha256Compress compress_function(Sha256Kernel kernel) {
    switch (kernel) {
    case Sha256Kernel::ShaExtensions:
        return sha256_compress_sha_extensions;
    case Sha256Kernel::Avx2:
        return sha256_compress_avx2;
    case Sha256Kernel::Portable:
        break;
    }
    return sha256_compress_portable;
}

void store_be32(std::uint8_t* out, std::uint32_t value) {
    out[0] = static_cast<std::uint8_t>(value >> 24);
    out[1] = static_cast<std::uint8_t>(value >> 16);
    out[2] = static_cast<std::uint8_t>(value >> 8);
    out[3] = static_cast<std::uint8_t>(value);
}

}  // namespace

Sha256Kernel sha256_best_kernel() {
    static const Sha256Kernel best = cpu_has_sha_extensions() ? Sha256Kernel::ShaExtensions
                                     : cpu_has_avx2_bmi2()      ? Sha256Kernel::Avx2
                                                                : Sha256Kernel::Portable;
    return best;
}

Sha256::Sha256(Sha256Kernel kernel) : compress_(compress_function(kernel)) { restart(); }

void Sha256::restart() {
    state_ = INITIAL_STATE;
    pending_size_ = 0;
    total_bytes_ = 0;
}

void Sha256::update(std::span<const std::uint8_t> bytes) {
    // An empty span may hold a null pointer, which memcpy must not get.
    if (bytes.empty())
        return;
    total_bytes_ += bytes.size();
    if (pending_size_ != 0) {
        const std::size_t taken = std::min(bytes.size(), SHA256_BLOCK_SIZE - pending_size_);
        std::memcpy(pending_.data() + pending_size_, bytes.data(), taken);
        pending_size_ += taken;
        bytes = bytes.subspan(taken);
        if (pending_size_ < SHA256_BLOCK_SIZE)
            return;
        compress_(state_, pending_.data(), 1);
        pending_size_ = 0;
    }
    // Whole blocks go to the kernel straight from the caller's memory.
    const std::size_t whole = bytes.size() / SHA256_BLOCK_SIZE;
    compress_(state_, bytes.data(), whole);
    bytes = bytes.subspan(whole * SHA256_BLOCK_SIZE);
    if (!bytes.empty()) {
        std::memcpy(pending_.data(), bytes.data(), bytes.size());
        pending_size_ = bytes.size();
    }
}

Sha256Digest Sha256::finish() {
    // Padding: one 1 bit, zeros up to the last 8 bytes of a block, then the
    // length in bits, big-endian.
    const std::uint64_t total_bits = total_bytes_ * 8;
    pending_[pending_size_++] = 0x80;
    if (pending_size_ > LENGTH_OFFSET) {
        std::fill(pending_.begin() + static_cast<std::ptrdiff_t>(pending_size_), pending_.end(),
                  std::uint8_t{0});
        compress_(state_, pending_.data(), 1);
        pending_size_ = 0;
    }
    std::fill(pending_.begin() + static_cast<std::ptrdiff_t>(pending_size_),
              pending_.begin() + static_cast<std::ptrdiff_t>(LENGTH_OFFSET), std::uint8_t{0});
    store_be32(pending_.data() + LENGTH_OFFSET, static_cast<std::uint32_t>(total_bits >> 32));
    store_be32(pending_.data() + LENGTH_OFFSET + 4, static_cast<std::uint32_t>(total_bits));
    compress_(state_, pending_.data(), 1);

    Sha256Digest digest;
    for (std::size_t i = 0; i < state_.size(); ++i)
        store_be32(digest.data() + 4 * i, state_[i]);
    restart();
    return digest;
}

std::string to_hex(const Sha256Digest& digest) {
    std::string text;
    text.reserve(2 * digest.size());
    for (const std::uint8_t byte : digest) {
        text.push_back(HEX_DIGITS[byte >> 4]);
        text.push_back(HEX_DIGITS[byte & 0x0F]);
    }
    return text;
}
