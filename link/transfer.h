#pragma once
// The transfer engine: owns the serial port and the USB driver channel, opens one of them,
// sends one request and collects the reader's answer (status byte, then data).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "link/transceive_buffer.h"
#include "platform/sync.h"
#include "transport/serial_port.h"
#include "transport/usb_channel.h"

namespace zarn {

// Bits of stateFlags: the receive parser's four, and the engine's busy flag.
constexpr std::uint8_t FLAG_IN_FRAME = 0x01;
constexpr std::uint8_t FLAG_ESCAPE = 0x02;
constexpr std::uint8_t FLAG_ADDRESS_SEEN = 0x04;
constexpr std::uint8_t FLAG_SEQUENCE_SEEN = 0x08;
constexpr std::uint8_t FLAG_PARSER_MASK = 0x0F;
constexpr std::uint8_t FLAG_BUSY = 0x80;

class CTransfer {
 public:
  static constexpr std::uint32_t kFrameCapacity = 1024;

  CTransfer();
  CTransfer(const CTransfer&) = delete;
  CTransfer& operator=(const CTransfer&) = delete;
  virtual ~CTransfer();

  // Serial port when baudRate is not 0, else the USB channel with interface index linkIndex.
  bool Open(std::int32_t linkIndex, std::uint32_t baudRate, char parity, const char* stopBits);
  // Sends txBuffer on the open link and fills rxBuffer; 0 or a result code.
  std::uint32_t Transceive();

  bool IsSerialOpen() const { return serialPort.IsOpen(); }
  bool IsUsbOpen() const { return usbChannel.IsOpen(); }
  // Closes the serial port together with responseEvent; false when it was not open.
  bool CloseSerial();
  bool CloseUsb() { return usbChannel.Close(); }
  // Puts the engine in USB mode without opening anything (the fall-back from PC/SC).
  void ResetForUsb();

  // The LinkCallbacks: installed on the serial port with the engine as their context.
  static void OnSerialStatus(std::int32_t portIndex, std::int32_t kind, std::uint32_t value,
                             void* context);
  static void OnSerialData(std::int32_t portIndex, const std::uint8_t* bytes, std::int32_t count,
                           void* context);
  void InstallLinkCallbacks();

  // Frame codec (frame_codec.cpp). PutEscaped folds the byte into txCheck and appends it
  // escaped; it and BuildRequestFrame refuse, writing nothing past txFrame, what does not fit.
  bool PutEscaped(std::uint8_t byte);
  // Frames count payload bytes into txFrame with the next sequence number; false (and the
  // sequence number unchanged) when the frame would not fit.
  bool BuildRequestFrame(const std::uint8_t* payload, std::uint32_t count);
  // Feeds one received byte to the receive state machine; a FrameResult.
  std::uint8_t ParseByte(std::uint8_t byte);
  void ResetParser();

  CSerialPort serialPort;
  CIOUSB usbChannel;
  platform::ManualResetEvent responseEvent;
  bool responseEventCreated = false;
  std::atomic<std::uint32_t> lastError{0};
  std::int32_t linkIndex = -1;
  std::uint32_t linkBaudRate = 0;
  CTransceiveBuffer txBuffer;
  CTransceiveBuffer rxBuffer;
  std::uint8_t rxFrame[kFrameCapacity] = {};
  std::uint8_t txFrame[kFrameCapacity] = {};
  std::uint32_t rxCount = 0;
  std::uint32_t txCount = 0;
  std::uint32_t responseTimeout = 1010;
  std::uint8_t busAddress = 0;
  std::uint8_t sequenceNumber = 0;
  std::uint8_t stateFlags = 0;
  std::uint16_t rxCheck = 0xFFFF;
  std::uint16_t txCheck = 0xFFFF;

 private:
  std::uint32_t TransceiveSerial();
  std::uint32_t TransceiveUsb();

  bool AppendEscaped(std::uint8_t byte);
  std::uint8_t ResetWith(std::uint8_t result);
  std::uint8_t ParseEndByte();

  // The serial answer's hand-over (transfer_serial.cpp).
  void ArmAnswer();
  void QueueFrame();
  bool DisarmAnswer();
  std::uint32_t TakeAnswer(platform::WaitResult waited);
  void ParseChunk(const std::uint8_t* bytes, std::int32_t count);

  // Guards the receive parser state (rxFrame, rxCount, rxCheck, the parser bits of
  // stateFlags) and the two flags below while the serial worker may feed the parser. The
  // worker parses only while an exchange waits for its own answer (answerWanted_); the main
  // thread touches the parser state only while none waits, or under this lock.
  std::mutex answerLock_;
  bool answerWanted_ = false;
  bool answerReady_ = false;
};

}  // namespace zarn
