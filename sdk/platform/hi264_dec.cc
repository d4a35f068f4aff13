// The platform H.264 decoder over OpenH264's no-delay decoding: OpenH264 keeps a picture open
// across calls until all its macroblocks are decoded, so one slice per call gives whole
// pictures with no added delay.
#include "sdk/platform/hi264_dec.h"

#include <wels/codec_api.h>

#include <new>

namespace kv::platform {

struct Hi264Decoder {
  ISVCDecoder* decoder = nullptr;
  H264DecAttributes attributes{};
};

namespace {

void FillPicture(unsigned char* const planes[3], const SBufferInfo& info, bool concealed,
                 H264DecPicture* picture) {
  const SSysMEMBuffer& buffer = info.UsrData.sSystemBuffer;
  picture->y = planes[0];
  picture->u = planes[1];
  picture->v = planes[2];
  picture->width = static_cast<uint32_t>(buffer.iWidth);
  picture->height = static_cast<uint32_t>(buffer.iHeight);
  picture->yStride = static_cast<uint32_t>(buffer.iStride[0]);
  picture->uvStride = static_cast<uint32_t>(buffer.iStride[1]);
  picture->concealed = concealed ? 1 : 0;
}

int32_t Result(DECODING_STATE state, unsigned char* const planes[3], const SBufferInfo& info,
               H264DecPicture* picture) {
  if (state & (dsInvalidArgument | dsInitialOptExpected | dsOutOfMemory)) {
    return kHi264DecHandleError;
  }
  if (info.iBufferStatus == 1 && planes[0] != nullptr) {
    FillPicture(planes, info, (state & dsDataErrorConcealed) != 0, picture);
    return kHi264DecPicture;
  }
  if (state & (dsBitstreamError | dsNoParamSets | dsRefLost | dsDepLayerLost | dsRefListNullPtrs |
               dsDstBufNeedExpan)) {
    return kHi264DecNoPicture;
  }
  return kHi264DecNeedMoreBits;
}

}  // namespace

Hi264DecHandle Hi264DecCreate(const H264DecAttributes* attributes) {
  if (attributes == nullptr || attributes->pictureFormat != 0 || attributes->streamInputType != 0) {
    return nullptr;
  }
  auto* handle = new (std::nothrow) Hi264Decoder;
  if (handle == nullptr) return nullptr;
  handle->attributes = *attributes;
  if (WelsCreateDecoder(&handle->decoder) != 0 || handle->decoder == nullptr) {
    delete handle;
    return nullptr;
  }
  SDecodingParam param{};
  param.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_AVC;
  // Lost slices are filled from the previous picture rather than dropping every picture up
  // to the next key frame.
  param.eEcActiveIdc = ERROR_CON_SLICE_MV_COPY_CROSS_IDR;
  if (handle->decoder->Initialize(&param) != 0) {
    WelsDestroyDecoder(handle->decoder);
    delete handle;
    return nullptr;
  }
  return handle;
}

int32_t Hi264DecFrame(Hi264DecHandle handle, const uint8_t* stream, uint32_t length,
                      uint64_t timeStamp, H264DecPicture* picture, uint32_t flags) {
  if (handle == nullptr || handle->decoder == nullptr || picture == nullptr) {
    return kHi264DecHandleError;
  }
  if (length > 0 && stream == nullptr) return kHi264DecHandleError;
  unsigned char* planes[3] = {nullptr, nullptr, nullptr};
  SBufferInfo info{};
  info.uiInBsTimeStamp = timeStamp;
  if (stream == nullptr || length == 0) {
    // Drain: pictures are handed out as soon as they are complete; only pictures held for
    // display order remain, and those leave only at the end of the stream.
    if ((flags & kHi264DecFlushAll) == 0) return kHi264DecNeedMoreBits;
    int remaining = 0;
    handle->decoder->GetOption(DECODER_OPTION_NUM_OF_FRAMES_REMAINING_IN_BUFFER, &remaining);
    if (remaining <= 0) return kHi264DecNeedMoreBits;
    DECODING_STATE state = handle->decoder->FlushFrame(planes, &info);
    int32_t result = Result(state, planes, info, picture);
    return result == kHi264DecPicture ? result : kHi264DecNeedMoreBits;
  }
  if (length > static_cast<uint32_t>(INT32_MAX)) return kHi264DecNoPicture;
  DECODING_STATE state =
      handle->decoder->DecodeFrameNoDelay(stream, static_cast<int>(length), planes, &info);
  return Result(state, planes, info, picture);
}

void Hi264DecDestroy(Hi264DecHandle handle) {
  if (handle == nullptr) return;
  if (handle->decoder != nullptr) {
    handle->decoder->Uninitialize();
    WelsDestroyDecoder(handle->decoder);
  }
  delete handle;
}

}  // namespace kv::platform
