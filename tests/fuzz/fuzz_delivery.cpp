// The delivery of one packet of any type, length and content to the host's data callback, through an armed
// delivery object. The first byte picks the type (0..7, 107.., or any 32-bit value); the rest is the packet.
// The callback reads every byte it is handed, so a block or packet that is shorter than claimed is an ASan
// finding, and the calls it receives are compared with what the host is promised.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "RealStreamWrapper.h"

using PexloCommon::CReciveData2SMS;
namespace Block = VantraMediaBlock;

// Spelled out rather than taken from the header, so that a wrong constant there shows.
constexpr uint32_t kHeaderField = 256;
constexpr const char kFormatParameters[] =
    "profile-level-id=8;config=000001B0F5000001B50900000100000001200886C400670C58112051";

namespace {

struct Call {
    uint32_t type;
    const void* data;
    uint32_t length;
    uint32_t payloadType;
    uint32_t reserved;
    uint32_t flags;
    std::string bytes;
};

CReciveData2SMS* g_delivery = nullptr;
int g_user = 0;
std::vector<Call> g_calls;
volatile unsigned g_sink = 0;

int HostCallback(intptr_t reserved, uint32_t type, const DeviceDataDescriptor* descriptor, void* user) {
    FUZZ_CHECK(reserved == 0);
    FUZZ_CHECK(descriptor != nullptr);
    FUZZ_CHECK(user == &g_user);
    FUZZ_CHECK(CReciveData2SMS::IsDeliveringOnThisThread());
    FUZZ_CHECK(descriptor->pData != nullptr || descriptor->uLength == 0);
    const unsigned char* bytes = static_cast<const unsigned char*>(descriptor->pData);
    unsigned sum = 0;
    for (uint32_t i = 0; i < descriptor->uLength; ++i) sum += bytes[i];
    g_sink = g_sink + sum;
    Call call{type,
              descriptor->pData,
              descriptor->uLength,
              descriptor->uPayloadType,
              descriptor->uReserved,
              descriptor->uFlags,
              std::string()};
    if (type == kDeviceDataDescription) call.bytes.assign(reinterpret_cast<const char*>(bytes), descriptor->uLength);
    g_calls.push_back(std::move(call));
    return 0;
}

void StopDelivery() {
    g_delivery->stopReciveData();
    delete g_delivery;
    g_delivery = nullptr;
}

uint32_t U32(const std::string& block, size_t offset) {
    uint32_t value;
    std::memcpy(&value, block.data() + offset, 4);
    return value;
}

bool Zero(const std::string& block, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        if (block[i] != 0) return false;
    }
    return true;
}

// What the block must say about a stream header: the codec named by the header's codec field and the
// header-form flag, read the way the two known header kinds store them.
void ExpectedHeaderFields(const unsigned char* p, uint32_t length, std::string* codec, uint32_t* flag) {
    uint32_t value = 0;
    *flag = 0;
    if (length > 4 && std::memcmp(p, "ZPLC", 4) == 0) {
        if (length >= 12) value = (p[10] << 8) | p[11];
        if (length >= 35 && p[34] == 0) {
            const uint32_t form = (p[8] << 8) | p[9];
            *flag = (form == 0xC300 || form == 0xC400) ? 1 : 0;
        }
    } else if (length > 4 && std::memcmp(p, "QMZX", 4) == 0) {
        if (length >= 12) value = p[10] | (p[11] << 8);
        if (length >= 10) *flag = (p[8] | (p[9] << 8)) == 4 ? 1 : 0;
    }
    if (value == 5 || value == 0xC003) {
        *codec = "H265";
    } else if (value == 0x0100 || value == 0xC001) {
        *codec = "H264";
    } else {
        *codec = "MP4V-ES";
    }
}

void CheckBlock(const Call& call, const unsigned char* packet, uint32_t length) {
    FUZZ_CHECK(call.type == kDeviceDataDescription);
    FUZZ_CHECK(call.length == Block::kSize && call.bytes.size() == Block::kSize);
    FUZZ_CHECK(call.payloadType == 96 && call.reserved == 1 && call.flags == 0);
    const std::string& block = call.bytes;
    FUZZ_CHECK(std::memcmp(block.data() + Block::kKindOffset, "video", 5) == 0);
    FUZZ_CHECK(Zero(block, Block::kKindOffset + 5, Block::kHeaderOffset));
    const uint32_t kept = length < kHeaderField ? length : kHeaderField;
    FUZZ_CHECK(U32(block, Block::kHeaderLengthOffset) == kept);
    FUZZ_CHECK(std::memcmp(block.data() + Block::kHeaderOffset, packet, kept) == 0);
    FUZZ_CHECK(Zero(block, Block::kHeaderOffset + kept, Block::kHeaderOffset + kHeaderField));
    FUZZ_CHECK(U32(block, Block::kPayloadTypeOffset) == 96);
    FUZZ_CHECK(U32(block, Block::kClockRateOffset) == 90000);

    std::string codec;
    uint32_t flag = 0;
    ExpectedHeaderFields(packet, length, &codec, &flag);
    const char* name = block.data() + Block::kCodecOffset;
    FUZZ_CHECK(std::memchr(name, '\0', Block::kCodecCapacity) != nullptr);  // NUL-terminated within its field
    FUZZ_CHECK(codec == name);
    FUZZ_CHECK(Zero(block, Block::kCodecOffset + codec.size(), Block::kFormatOffset));
    const size_t formatLength = std::strlen(kFormatParameters);
    FUZZ_CHECK(block.compare(Block::kFormatOffset, formatLength, kFormatParameters) == 0);
    FUZZ_CHECK(Zero(block, Block::kFormatOffset + formatLength, Block::kPacketTypeOffset));
    FUZZ_CHECK(U32(block, Block::kPacketTypeOffset) == 1);
    FUZZ_CHECK(U32(block, Block::kFlagOffset) == flag);
}

void CheckPacketCall(const Call& call, uint32_t type, const unsigned char* packet, uint32_t length, uint32_t flags) {
    FUZZ_CHECK(call.type == type);
    FUZZ_CHECK(call.data == packet);  // by pointer, no copy
    FUZZ_CHECK(call.length == length);
    FUZZ_CHECK(call.payloadType == 96 && call.reserved == 1 && call.flags == flags);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vantra_fuzz::QuietLog();
    // One armed delivery for the whole run: a stream with no SDK source, so nothing but the callback matters.
    PexloCommon::StreamParam param;
    param.iSourceType = 0;
    param.iChannel = 1;
    param.strSerial = "FUZZ";
    g_delivery = new CReciveData2SMS();
    g_delivery->startReciveData(&HostCallback, &g_user, 0, param);
    FUZZ_CHECK(g_delivery->m_bStart);
    std::atexit(&StopDelivery);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint32_t type;
    size_t used = 1;
    if (data[0] < 0x80) {
        type = data[0] % 8;
    } else if (data[0] < 0xC0) {
        type = 107u + (data[0] - 0x80u);
    } else if (size >= 5) {
        std::memcpy(&type, data + 1, 4);
        used = 5;
    } else {
        type = 0xFFFFFFFFu;
    }
    // A buffer of exactly the packet's size, so any read past either end is caught.
    const uint32_t length = static_cast<uint32_t>(size - used);
    std::unique_ptr<unsigned char[]> packet(new unsigned char[length]);
    if (length > 0) std::memcpy(packet.get(), data + used, length);

    g_calls.clear();
    g_delivery->OnStreamData(packet.get(), length, type);
    FUZZ_CHECK(!CReciveData2SMS::IsDeliveringOnThisThread());

    if (type >= 2 && type <= 5) {
        FUZZ_CHECK(g_calls.size() == 1);
        CheckPacketCall(g_calls[0], kDeviceDataMedia, packet.get(), length, 0xFFFFFFFFu);
    } else if (type == 6) {
        FUZZ_CHECK(g_calls.size() == 1);
        CheckPacketCall(g_calls[0], kDeviceDataMediaPrivate, packet.get(), length, 0xFFFFFFFFu);
    } else if (type == 1) {
        FUZZ_CHECK(g_calls.size() == 2);
        CheckBlock(g_calls[0], packet.get(), length);
        CheckPacketCall(g_calls[1], kDeviceDataHeader, packet.get(), length, 0);
    } else {
        FUZZ_CHECK(g_calls.empty());  // 0, 7, 107 and anything else reach the host not at all
    }
    return 0;
}
