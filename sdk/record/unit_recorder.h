// Hands stream units to a source's open record files: the duration limits, the index points
// of key units and the unit headers.
#pragma once

#include <cstdint>

namespace kv {

class IEventNotifier;
class IRecord;
struct RecordSettings;
struct StreamDescription;

struct VideoUnit {
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  uint32_t type = 0;             // frame or NAL unit type; 7 takes an index point
  bool beginsCodedUnit = false;  // a start code 00 00 00 01 is written before the data
  uint32_t timeStamp = 0;        // milliseconds
};

// Writes a video unit into each open record file of recorder. A file whose duration has run
// out is stopped instead (its stopped event, then its time-up event) and gets nothing.
// The unit headers carry the stream's picture size; the limits are those of settings.
void RecordVideoUnit(IRecord& recorder, const StreamDescription& stream,
                     const RecordSettings& settings, IEventNotifier& notifier,
                     const VideoUnit& unit);

// A unit in up to three pieces (start code, NAL header, payload, or a whole picture) with
// its key point given explicitly.
struct UnitPieces {
  struct Piece {
    const uint8_t* data = nullptr;
    uint32_t length = 0;
  } pieces[3];
  int count = 0;
  uint32_t type = 0;       // frame type of the unit header (4 bits)
  bool keyPoint = false;   // takes an index point
  uint32_t timeStamp = 0;  // milliseconds
};

// As RecordVideoUnit, for a unit in pieces. A unit whose pieces add up to more than the
// header's 20-bit length field can describe is refused: nothing of it is written.
void RecordVideoPieces(IRecord& recorder, const StreamDescription& stream,
                       const RecordSettings& settings, IEventNotifier& notifier,
                       const UnitPieces& unit);

// Writes one voice frame as an audio unit of the given codec into each open record file.
void RecordAudioUnit(IRecord& recorder, uint8_t audioCodec, const uint8_t* voiceFrame,
                     uint32_t length, uint32_t timeStamp);

}  // namespace kv
