// One packet of any type and content delivered to the host's callback: the first byte picks the type (0..7, 107..,
// or any 32-bit value), the rest is the packet. The callback reads every byte it is handed (a short one is an ASan
// finding) and its calls are compared with what the host is promised.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "RealStreamWrapper.h"

using PexloCommon::CReciveData2SMS;
namespace Block = VantraMediaBlock;

namespace {

// Spelled out rather than taken from the header, so that a wrong constant there shows. The layout is the one hosts
// are compiled against: a change here breaks every one of them.
static_assert(Block::kSize == 1612 && Block::kHeaderOffset == 32 && Block::kHeaderLengthOffset == 288 &&
                  Block::kPayloadTypeOffset == 292 && Block::kClockRateOffset == 296 && Block::kCodecOffset == 300 &&
                  Block::kFormatOffset == 364 && Block::kPacketTypeOffset == 1604 && Block::kFlagOffset == 1608,
              "media-description block layout");
constexpr uint32_t kHeaderField = 256;
constexpr char kFormatParameters[] =
    "profile-level-id=8;config=000001B0F5000001B50900000100000001200886C400670C58112051";

struct Call {
    uint32_t type;
    DeviceDataDescriptor descriptor;
    std::string bytes;  // the description block's content
};

CReciveData2SMS* g_delivery = nullptr;
int g_user = 0;
std::vector<Call> g_calls;
volatile unsigned g_sink = 0;

int HostCallback(intptr_t reserved, uint32_t type, const DeviceDataDescriptor* descriptor, void* user) {
    FUZZ_CHECK(reserved == 0 && descriptor != nullptr && user == &g_user);
    FUZZ_CHECK(CReciveData2SMS::IsDeliveringOnThisThread());
    FUZZ_CHECK(descriptor->pData != nullptr || descriptor->uLength == 0);
    const char* bytes = static_cast<const char*>(descriptor->pData);
    g_sink = g_sink + std::accumulate(bytes, bytes + descriptor->uLength, 0u);
    g_calls.push_back(
        {type, *descriptor, type == kDeviceDataDescription ? std::string(bytes, descriptor->uLength) : ""});
    return 0;
}

uint32_t U32(const std::string& block, size_t offset) {
    uint32_t value;
    std::memcpy(&value, block.data() + offset, 4);
    return value;
}

bool Zero(const std::string& block, size_t from, size_t to) {
    return std::all_of(block.begin() + from, block.begin() + to, [](char c) { return c == 0; });
}

// The codec a stream header names, and its header-form flag, read as the two known header kinds store them.
std::string ExpectedCodec(const unsigned char* p, uint32_t length, uint32_t& flag) {
    uint32_t value = 0;
    flag = 0;
    if (length > 4 && std::memcmp(p, "ZPLC", 4) == 0) {
        if (length >= 12) value = (p[10] << 8) | p[11];
        if (length >= 35 && p[34] == 0) {
            const uint32_t form = (p[8] << 8) | p[9];
            flag = form == 0xC300 || form == 0xC400;
        }
    } else if (length > 4 && std::memcmp(p, "QMZX", 4) == 0) {
        if (length >= 12) value = p[10] | (p[11] << 8);
        if (length >= 10) flag = (p[8] | (p[9] << 8)) == 4;
    }
    if (value == 5 || value == 0xC003) return "H265";
    return value == 0x0100 || value == 0xC001 ? "H264" : "MP4V-ES";
}

void CheckCall(const Call& call, uint32_t type, const void* data, uint32_t length, uint32_t flags) {
    const DeviceDataDescriptor& d = call.descriptor;
    FUZZ_CHECK(call.type == type && d.uLength == length);
    if (data != nullptr) FUZZ_CHECK(d.pData == data);  // by pointer, no copy
    FUZZ_CHECK(d.uPayloadType == 96 && d.uReserved == 1 && d.uFlags == flags);
}

void CheckBlock(const Call& call, const unsigned char* packet, uint32_t length) {
    CheckCall(call, kDeviceDataDescription, nullptr, Block::kSize, 0);
    const std::string& block = call.bytes;
    FUZZ_CHECK(block.compare(Block::kKindOffset, 5, "video") == 0);
    FUZZ_CHECK(Zero(block, Block::kKindOffset + 5, Block::kHeaderOffset));
    const uint32_t kept = std::min(length, kHeaderField);
    FUZZ_CHECK(U32(block, Block::kHeaderLengthOffset) == kept);
    FUZZ_CHECK(std::memcmp(block.data() + Block::kHeaderOffset, packet, kept) == 0);
    FUZZ_CHECK(Zero(block, Block::kHeaderOffset + kept, Block::kHeaderOffset + kHeaderField));
    FUZZ_CHECK(U32(block, Block::kPayloadTypeOffset) == 96 && U32(block, Block::kClockRateOffset) == 90000);

    uint32_t flag = 0;
    const std::string codec = ExpectedCodec(packet, length, flag);
    // Equal as C strings and zero to the end of the field: the name is NUL-terminated within it.
    FUZZ_CHECK(codec == block.data() + Block::kCodecOffset);
    FUZZ_CHECK(Zero(block, Block::kCodecOffset + codec.size(), Block::kFormatOffset));
    const size_t formatLength = sizeof(kFormatParameters) - 1;
    FUZZ_CHECK(block.compare(Block::kFormatOffset, formatLength, kFormatParameters) == 0);
    FUZZ_CHECK(Zero(block, Block::kFormatOffset + formatLength, Block::kPacketTypeOffset));
    FUZZ_CHECK(U32(block, Block::kPacketTypeOffset) == 1 && U32(block, Block::kFlagOffset) == flag);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One armed delivery for the whole run: a stream with no SDK source, so nothing but the callback matters.
    g_delivery = new CReciveData2SMS();
    g_delivery->startReciveData(&HostCallback, &g_user, 0, PexloCommon::StreamParam{0, 1, "FUZZ", "", 1});
    FUZZ_CHECK(g_delivery->m_bStart);
    std::atexit([] {
        g_delivery->stopReciveData();
        delete g_delivery;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint32_t type = 0xFFFFFFFFu;
    size_t used = 1;
    if (data[0] < 0x80) {
        type = data[0] % 8;
    } else if (data[0] < 0xC0) {
        type = 107u + (data[0] - 0x80u);
    } else if (size >= 5) {
        std::memcpy(&type, data + 1, 4);
        used = 5;
    }
    // A buffer of exactly the packet's size, so any read past either end is caught.
    const uint32_t length = static_cast<uint32_t>(size - used);
    std::unique_ptr<unsigned char[]> packet(new unsigned char[length]);
    std::copy(data + used, data + size, packet.get());

    g_calls.clear();
    g_delivery->OnStreamData(packet.get(), length, type);
    FUZZ_CHECK(!CReciveData2SMS::IsDeliveringOnThisThread());
    if (type == 1) {
        FUZZ_CHECK(g_calls.size() == 2);
        CheckBlock(g_calls[0], packet.get(), length);
        CheckCall(g_calls[1], kDeviceDataHeader, packet.get(), length, 0);
    } else if (type >= 2 && type <= 6) {
        FUZZ_CHECK(g_calls.size() == 1);
        const uint32_t kind = type == 6 ? kDeviceDataMediaPrivate : kDeviceDataMedia;
        CheckCall(g_calls[0], kind, packet.get(), length, 0xFFFFFFFFu);
    } else {
        FUZZ_CHECK(g_calls.empty());  // 0, 7, 107 and anything else reach the host not at all
    }
    return 0;
}
