// Byte-order conversion of the OFT2 fixed header, with one trace line per field.
#include "oft2/oft2_header.h"

#include <cstring>

#include "plugin/trace.h"

namespace zykim {

namespace {
// The field's bytes are big-endian whatever the host is; they are read as bytes.
void Convert16(uint16_t& field) {
    uint8_t b[2];
    std::memcpy(b, &field, 2);
    field = static_cast<uint16_t>((b[0] << 8) | b[1]);
}

void Convert32(uint32_t& field) {
    uint8_t b[4];
    std::memcpy(b, &field, 4);
    field = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}
}  // namespace

// 16-bit values are printed zero-extended, 32-bit ones as signed numbers.
#define ZYKIM_TRACE_FIELD16(name)                                                      \
    do {                                                                               \
        Convert16(h.name);                                                             \
        TraceInfo("[bConvertOFT2Header]: [psOFT2_HEADER->" #name "]: %d\n",            \
                  static_cast<int>(h.name));                                           \
    } while (0)
#define ZYKIM_TRACE_FIELD32(name)                                                      \
    do {                                                                               \
        Convert32(h.name);                                                             \
        TraceInfo("[bConvertOFT2Header]: [psOFT2_HEADER->" #name "]: %d\n",            \
                  static_cast<int32_t>(h.name));                                       \
    } while (0)

bool bConvertOFT2Header(OFT2_HEADER* psOFT2_HEADER) {
    if (psOFT2_HEADER == nullptr) return false;
    OFT2_HEADER& h = *psOFT2_HEADER;
    TraceInfo("[bConvertOFT2Header]: [Convert OFT2 Header Start ]\n");
    ZYKIM_TRACE_FIELD16(wHdrLen);
    ZYKIM_TRACE_FIELD16(wType);
    ZYKIM_TRACE_FIELD32(dwCookieLow);
    ZYKIM_TRACE_FIELD32(dwCookieHi);
    ZYKIM_TRACE_FIELD16(wEncrypt);
    ZYKIM_TRACE_FIELD16(wComp);
    ZYKIM_TRACE_FIELD16(wFilesTotal);
    ZYKIM_TRACE_FIELD16(wFilesLft);
    Convert16(h.wPrtsTotal);  // converted, but has no line of its own
    ZYKIM_TRACE_FIELD16(wPrtsLft);
    ZYKIM_TRACE_FIELD32(dwTotalSize);
    ZYKIM_TRACE_FIELD32(dwSize);
    ZYKIM_TRACE_FIELD32(dwModTime);
    ZYKIM_TRACE_FIELD32(dwChecksum);
    ZYKIM_TRACE_FIELD32(dwRfrcSum);
    ZYKIM_TRACE_FIELD32(dwRfSize);
    ZYKIM_TRACE_FIELD32(dwCreTime);
    ZYKIM_TRACE_FIELD32(dwRfcSum);
    ZYKIM_TRACE_FIELD32(dwnRecvd);
    ZYKIM_TRACE_FIELD32(dwRecvCsum);
    ZYKIM_TRACE_FIELD16(wEncoding);
    ZYKIM_TRACE_FIELD16(wSubcode);
    TraceInfo("[bConvertOFT2Header]: [Convert OFT2 Header End ]\n");
    return true;
}

#undef ZYKIM_TRACE_FIELD16
#undef ZYKIM_TRACE_FIELD32

}  // namespace zykim
