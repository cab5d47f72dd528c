// The server end of the bridge protocol, which DaemonCamHandler serves its client through.
#pragma once

#include <string>
#include <utility>

#include "kelvix/Tcp.h"
#include "kelvix/ThermalCamConfig.h"
#include "kelvix/export.h"

namespace zol {

// The daemon's end of the bridge protocol: a TCP server on a port that serves one client,
// reading its commands and configuration records and sending thermal and palette images.
// A lost client is replaced by the next one (the request in flight is dropped); when the
// endpoint cannot be repaired any more (it was closed) the process ends with exit code -1.
// Every call but close() from the one thread that serves the client (the handler's worker).
class KELVIX_API DirectBridge {
  public:
    // Nothing listens before connect().
    explicit DirectBridge(int port);
    virtual ~DirectBridge();

    // Listens and accepts one client.
    bool connect();
    // Closes the endpoint; a read or write blocked in another thread returns. From any thread.
    void close();
    // The next command word; 8 after a lost client was replaced.
    unsigned int waitForCommand();
    // The 56-byte configuration record that follows command 3; (false, defaults) when the
    // client was lost.
    std::pair<bool, bridge::ThermalCamConfig> receiveConfig();
    // One image reply each: header, then the pixels; false when it could not be sent. An image
    // larger than a client accepts (4096 x 4096 pixels) goes out as an empty one (0 x 0).
    bool sendThermalImage(unsigned short* data, unsigned width, unsigned height, unsigned counter);
    bool sendPaletteImage(unsigned char* data, unsigned width, unsigned height, unsigned counter);
    // The endpoint's last error text; from any thread.
    std::string getError();

  private:
    void connectionLost();
    bool sendImage(const void* pixels, unsigned width, unsigned height, unsigned counter,
                   unsigned channels, unsigned bytesPerChannel);

    Tcp tcp;
};

}  // namespace zol
