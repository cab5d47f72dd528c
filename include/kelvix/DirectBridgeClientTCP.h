// The bridge client that reaches kelvixdaemon over TCP, behind zol_kelvix_tcp_init and the other
// C functions on a daemon connection.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "kelvix/DirectBridgeClient.h"
#include "kelvix/Tcp.h"
#include "kelvix/ThermalCamConfig.h"
#include "kelvix/export.h"

namespace platform {
class Progress;
}

namespace zol {

// The bridge client that reaches the daemon over TCP; one process-wide instance. A lost
// connection is repaired inside each step (the request in flight fails: the setters answer -1);
// one that cannot be repaired turns the step into std::runtime_error ("tcp connection could
// not be repaired (system reasons)..."), which the setters answer with -2. Not guarded: one
// thread at a time, the getters and setters included.
class KELVIX_API DirectBridgeClientTCP : public DirectBridgeClient {
  public:
    // The process-wide client, created on first use.
    static DirectBridgeClientTCP* getInstance();

    DirectBridgeClientTCP();
    ~DirectBridgeClientTCP() override;
    DirectBridgeClientTCP(const DirectBridgeClientTCP&) = delete;
    DirectBridgeClientTCP& operator=(const DirectBridgeClientTCP&) = delete;

    // A new endpoint for host and port (retrying every 0.1 s when repairing), unless connected.
    void init(const std::string& host, int port);
    // One attempt to connect: (connected, not reparable).
    std::pair<bool, bool> connect();
    // Waits, retrying for a few seconds, until the daemon can be reached; false when it cannot.
    bool connectBlocked();
    // The endpoint's last error text (empty without one).
    std::string getError();

    // The protocol's steps: a command word, command 3 with its configuration record, the record
    // alone, and the reply of an image request.
    bool sendCommand(unsigned int code);
    bool setConfig(const bridge::ThermalCamConfig& config);
    bool transmitConfig(const bridge::ThermalCamConfig& config);
    std::pair<bool, ThermalImage*> receiveThermalImage();
    std::pair<bool, PaletteImage*> receivePaletteImage();

    // Closes and drops the endpoint; the next use needs init() again.
    void release() override;
    // Closes the endpoint, which stays for a later connect(); false without one.
    bool disconnect() override;
    std::pair<bool, ThermalImage*> getThermalImage() override;
    std::pair<bool, PaletteImage*> getPaletteImage() override;
    std::pair<bool, ThmPalImage> getThmPalImage() override;
    int setPalette(int palette) override;
    int setPaletteScale(int scale) override;
    int triggerFlag() override;
    int setFlagAutoMode(bool automatic) override;
    int setTempRange(int tMin, int tMax) override;
    // Not available over TCP: -1.
    int setRadiationParameters(float emissivity, float transmissivity, float tAmbient) override;

  private:
    Tcp& requireEndpoint();
    void connectionLost();
    bool writeAll(const void* data, std::size_t length);
    bool readAll(void* data, std::size_t length, platform::Progress& progress);
    bool readImageHeader(std::uint32_t channels, std::uint32_t bytesPerChannel,
                         std::uint32_t header[6], platform::Progress& progress);
    int sendSetting(const bridge::ThermalCamConfig& config);

    std::unique_ptr<Tcp> endpoint;
    bool connected;
};

}  // namespace zol
