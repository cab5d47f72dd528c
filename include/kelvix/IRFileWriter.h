// Writing raw recordings (frames with their metadata, a ".time" file per part), which
// IRFileReader plays back. Not guarded: one thread per writer.
#pragma once

#include <iosfwd>
#include <memory>

#include "kelvix/RawdataHeader.h"
#include "kelvix/export.h"

namespace zol {

// Writes a raw recording: "<dir>/ir_<serial>_<date>_<time>.raw" (the header, then each frame's
// bytes and 80 metadata bytes) and the matching ".time" file (one timestamp line per frame).
// A new part index starts a new pair of files, named after the first with ".<part>" appended.
class KELVIX_API IRFileWriter {
  public:
    // Takes date and time from startTime (seconds since 1970, local time); opens nothing.
    IRFileWriter(long long startTime, const char* directory, RawdataHeader header);
    // A copy writes the same recording but starts closed, with streams of its own.
    IRFileWriter(const IRFileWriter& other);
    IRFileWriter& operator=(const IRFileWriter& other);
    virtual ~IRFileWriter();

    // Creates the files of the current part and writes the header; true when open.
    virtual bool open();
    virtual bool isOpen();
    // Open, and neither stream has failed.
    bool canDoWriteOperations();
    // Appends one frame (size bytes), its 80 metadata bytes (zeros when null) and the timestamp
    // line; a partIndex other than the current part splits the recording first.
    void write(double timestamp, unsigned char* data, unsigned partIndex, unsigned size,
               char metadata[80]);
    // The startTime given at construction.
    long long getStartTime();

  private:
    void splitFile();
    void copySettings(const IRFileWriter& other);

    bool opened;
    std::unique_ptr<std::ofstream> rawStream;
    std::unique_ptr<std::ofstream> timeStream;
    long long startTime;
    char rawBaseName[256];
    char timeBaseName[256];
    RawdataHeader header;
    int partNumber;
    bool namesFit;  // both names fit, with room for a part suffix
    bool timeCrLf;  // the first part's ".time" lines end in CR LF, later parts' in LF
};

}  // namespace zol
