#include "host/ZylMqttKeys.h"

#include <sodium.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace {

constexpr const char* kIdentityFile = "identity.key";
constexpr const char* kFriendsFile = "friends.keys";
constexpr std::string_view kSignContext = "zylfs stream start 3";
constexpr std::string_view kKeyContext = "zylfs frame key 3";
constexpr uint8_t kAckNonceMark = 1; // a sequence's nonce begins with 0

void Init() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (sodium_init() < 0)
            throw std::runtime_error("libsodium cannot start");
    });
}

void PutBig(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void PutText(std::vector<uint8_t>& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

template <size_t N> bool FromHex(std::string_view text, std::array<uint8_t, N>& out) {
    size_t length = 0;
    return text.size() == 2 * N &&
           sodium_hex2bin(out.data(), N, text.data(), text.size(), nullptr, &length, nullptr) == 0 &&
           length == N;
}

// The nonce of a sequenced frame: zeros and the sequence.
std::array<uint8_t, ZYL_SEAL_NONCE_SIZE> SequenceNonce(uint64_t sequence) {
    std::array<uint8_t, ZYL_SEAL_NONCE_SIZE> nonce{};
    for (int i = 0; i < 8; ++i)
        nonce[ZYL_SEAL_NONCE_SIZE - 1 - i] = static_cast<uint8_t>(sequence >> (8 * i));
    return nonce;
}

} // namespace

std::string ZylHex(const uint8_t* data, size_t size) {
    std::string text(size * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), data, size);
    text.pop_back();
    return text;
}

std::string ZylKeyFingerprint(const ZYLKEY& key) {
    Init();
    std::array<uint8_t, crypto_hash_sha256_BYTES> hash{};
    crypto_hash_sha256(hash.data(), key.data(), key.size());
    const std::string hex = ZylHex(hash.data(), 16);
    std::string text;
    for (size_t i = 0; i < hex.size(); i += 4)
        text.append(i ? " " : "").append(hex, i, 4);
    return text;
}

std::string CZylKeyStore::Open(const std::filesystem::path& folder, bool create) {
    Init();
    m_pFolder = folder;
    m_mPins.clear();
    if (folder.empty()) {
        crypto_sign_keypair(m_publicKey.data(), m_secretKey.data());
        m_bOpen = true;
        return {};
    }
    const std::filesystem::path path = folder / kIdentityFile;
    std::array<uint8_t, crypto_sign_SEEDBYTES> seed{};
    std::ifstream in(path);
    std::string line;
    if (in && std::getline(in, line)) {
        if (!FromHex(line, seed))
            return "the key file " + path.string() + " is damaged (move it away to make a new key)";
    } else if (std::filesystem::exists(path) || !create) {
        return "cannot read the key file " + path.string();
    } else {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        randombytes_buf(seed.data(), seed.size());
        // Readable by the owner alone from the first byte on.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        const std::string text = ZylHex(seed.data(), seed.size()) + "\n";
        const bool written = fd >= 0 &&
                             ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                             ::fsync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!written)
            return "cannot write the key file " + path.string() + ": " + std::strerror(errno);
    }
    crypto_sign_seed_keypair(m_publicKey.data(), m_secretKey.data(), seed.data());
    sodium_memzero(seed.data(), seed.size());
    Load();
    m_bOpen = true;
    return {};
}

ZYLSIGNATURE CZylKeyStore::Sign(const std::vector<uint8_t>& message) const {
    ZYLSIGNATURE signature{};
    crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), m_secretKey.data());
    return signature;
}

void CZylKeyStore::Load() {
    if (m_pFolder.empty())
        return;
    std::ifstream in(m_pFolder / kFriendsFile);
    if (!in)
        return;
    m_mPins.clear();
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string user, key, changed;
        words >> user >> key >> changed;
        PIN pin;
        if (user.empty() || !FromHex(key, pin.key))
            continue; // a damaged line pins nothing: that friend is pinned anew at the next sight
        if (ZYLKEY other{}; FromHex(changed, other))
            pin.changed = other;
        m_mPins[user] = pin;
    }
}

bool CZylKeyStore::Save() {
    if (m_pFolder.empty())
        return true;
    const std::filesystem::path path = m_pFolder / kFriendsFile;
    const std::filesystem::path temporary = path.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const auto& [user, pin] : m_mPins) {
            out << user << ' ' << ZylHex(pin.key.data(), pin.key.size());
            if (pin.changed)
                out << ' ' << ZylHex(pin.changed->data(), pin.changed->size());
            out << '\n';
        }
        if (!out.flush())
            return false;
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    return !ec;
}

CZylKeyStore::ESeen CZylKeyStore::See(const std::string& user, const ZYLKEY& key) {
    Load();
    auto it = m_mPins.find(user);
    if (it == m_mPins.end()) {
        m_mPins[user].key = key;
        Save();
        return FIRST;
    }
    if (it->second.key == key) {
        if (it->second.changed) { // back to the trusted key
            it->second.changed.reset();
            Save();
        }
        return SAME;
    }
    if (it->second.changed != key) {
        it->second.changed = key;
        Save();
    }
    return CHANGED;
}

std::optional<ZYLKEY> CZylKeyStore::Pinned(const std::string& user, std::optional<ZYLKEY>* changed) {
    Load();
    const auto it = m_mPins.find(user);
    if (changed)
        *changed = it == m_mPins.end() ? std::nullopt : it->second.changed;
    if (it == m_mPins.end())
        return std::nullopt;
    return it->second.key;
}

bool CZylKeyStore::Trust(const std::string& user) {
    Load();
    const auto it = m_mPins.find(user);
    if (it == m_mPins.end() || !it->second.changed)
        return false;
    it->second.key = *it->second.changed;
    it->second.changed.reset();
    return Save();
}

ZYLEPHEMERAL ZylNewEphemeral() {
    Init();
    ZYLEPHEMERAL pair;
    crypto_box_keypair(pair.pub.data(), pair.secret.data());
    return pair;
}

std::vector<uint8_t> ZylStartSigned(uint8_t kind, const std::string& sender, const std::string& receiver,
                                    int32_t channel, uint64_t stream, uint64_t opening,
                                    const ZYLKEY& ephemeral) {
    std::vector<uint8_t> message;
    PutText(message, kSignContext);
    message.push_back(kind);
    PutText(message, sender);
    PutText(message, receiver);
    PutBig(message, static_cast<uint32_t>(channel), 4);
    PutBig(message, stream, 8);
    PutBig(message, opening, 8);
    message.insert(message.end(), ephemeral.begin(), ephemeral.end());
    return message;
}

bool ZylVerify(const ZYLKEY& publicKey, const std::vector<uint8_t>& message, const uint8_t* signature) {
    Init();
    return crypto_sign_verify_detached(signature, message.data(), message.size(), publicKey.data()) == 0;
}

bool ZylDeriveFrameKeys(const ZYLEPHEMERAL& mine, const ZYLKEY& theirs, const std::string& me,
                        const std::string& peer, int32_t channel, ZYLKEY& tx, ZYLKEY& rx) {
    Init();
    std::array<uint8_t, crypto_scalarmult_BYTES> shared{};
    if (crypto_scalarmult(shared.data(), mine.secret.data(), theirs.data()) != 0)
        return false; // a key of small order: no secret would be shared
    const auto derive = [&](const std::string& sender, const std::string& receiver, const ZYLKEY& senderHalf,
                            const ZYLKEY& receiverHalf, ZYLKEY& out) {
        std::vector<uint8_t> input;
        PutText(input, kKeyContext);
        PutText(input, sender);
        PutText(input, receiver);
        PutBig(input, static_cast<uint32_t>(channel), 4);
        input.insert(input.end(), senderHalf.begin(), senderHalf.end());
        input.insert(input.end(), receiverHalf.begin(), receiverHalf.end());
        crypto_generichash(out.data(), out.size(), input.data(), input.size(), shared.data(), shared.size());
    };
    derive(me, peer, mine.pub, theirs, tx);
    derive(peer, me, theirs, mine.pub, rx);
    sodium_memzero(shared.data(), shared.size());
    return true;
}

std::vector<uint8_t> ZylSealFrame(const ZYLKEY& key, uint8_t kind, uint32_t command, uint64_t stream,
                                  uint64_t sequence, const void* payload, size_t length) {
    std::vector<uint8_t> frame = ZylEncodeFrame(kind, 0, stream, sequence, nullptr, 0);
    std::vector<uint8_t> plain;
    plain.reserve(4 + length);
    PutBig(plain, command, 4);
    if (length > 0) {
        const auto* p = static_cast<const uint8_t*>(payload);
        plain.insert(plain.end(), p, p + length);
    }
    frame.resize(ZYL_FRAME_HEADER_SIZE + plain.size() + ZYL_SEAL_TAG_SIZE);
    const auto nonce = SequenceNonce(sequence);
    crypto_aead_xchacha20poly1305_ietf_encrypt(frame.data() + ZYL_FRAME_HEADER_SIZE, nullptr, plain.data(),
                                               plain.size(), frame.data(), ZYL_FRAME_HEADER_SIZE, nullptr,
                                               nonce.data(), key.data());
    return frame;
}

bool ZylOpenFrame(const ZYLKEY& key, ZYLFRAME& frame) {
    if (frame.command != 0 || frame.payload.size() < ZYL_FRAME_SEAL_OVERHEAD)
        return false;
    const std::vector<uint8_t> header =
        ZylEncodeFrame(frame.kind, 0, frame.stream, frame.sequence, nullptr, 0);
    std::vector<uint8_t> plain(frame.payload.size() - ZYL_SEAL_TAG_SIZE);
    const auto nonce = SequenceNonce(frame.sequence);
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(plain.data(), nullptr, nullptr, frame.payload.data(),
                                                   frame.payload.size(), header.data(), header.size(),
                                                   nonce.data(), key.data()) != 0)
        return false;
    frame.command = static_cast<uint32_t>(plain[0]) << 24 | static_cast<uint32_t>(plain[1]) << 16 |
                    static_cast<uint32_t>(plain[2]) << 8 | plain[3];
    frame.payload.assign(plain.begin() + 4, plain.end());
    return true;
}

std::vector<uint8_t> ZylSealAck(const ZYLKEY& key, uint64_t stream, uint64_t sequence, uint64_t own) {
    Init();
    std::vector<uint8_t> frame = ZylEncodeFrame(ZYL_FRAME_ACK, 0, stream, sequence, nullptr, 0);
    PutBig(frame, own, 8);
    std::array<uint8_t, ZYL_SEAL_NONCE_SIZE> nonce{};
    randombytes_buf(nonce.data(), nonce.size());
    nonce[0] = kAckNonceMark;
    frame.insert(frame.end(), nonce.begin(), nonce.end());
    const size_t signedSize = ZYL_FRAME_HEADER_SIZE + 8;
    frame.resize(frame.size() + ZYL_SEAL_TAG_SIZE);
    crypto_aead_xchacha20poly1305_ietf_encrypt(frame.data() + signedSize + ZYL_SEAL_NONCE_SIZE, nullptr,
                                               nullptr, 0, frame.data(), signedSize, nullptr, nonce.data(),
                                               key.data());
    return frame;
}

bool ZylCheckAck(const ZYLKEY& key, const ZYLFRAME& frame) {
    if (frame.command != 0 || frame.payload.size() != 8 + ZYL_SEAL_NONCE_SIZE + ZYL_SEAL_TAG_SIZE ||
        frame.payload[8] != kAckNonceMark)
        return false;
    std::vector<uint8_t> signedPart =
        ZylEncodeFrame(ZYL_FRAME_ACK, 0, frame.stream, frame.sequence, nullptr, 0);
    signedPart.insert(signedPart.end(), frame.payload.begin(), frame.payload.begin() + 8);
    return crypto_aead_xchacha20poly1305_ietf_decrypt(
               nullptr, nullptr, nullptr, frame.payload.data() + 8 + ZYL_SEAL_NONCE_SIZE, ZYL_SEAL_TAG_SIZE,
               signedPart.data(), signedPart.size(), frame.payload.data() + 8, key.data()) == 0;
}
