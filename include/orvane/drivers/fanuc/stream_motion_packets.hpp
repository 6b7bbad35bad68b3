#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

// The datagrams of FANUC's Stream Motion: one packet per UDP datagram, every
// packet of a fixed size. Scalars are big-endian on the wire; the values
// packed inside the 256-byte I/O arrays are little-endian (see
// stream_motion_io.hpp). Encoding and decoding never allocate, and a datagram
// of the wrong size, type or version is refused, never read past its end.
//
// Protocol versions 3 and 4 share their layouts (4 adds the status with force
// data and the force-sensor configuration); version 1 has a command and a
// status of its own, which some controllers use while reporting a higher
// version. Values are kept as on the wire: degrees, millimetres, milliseconds.
namespace orvane::drivers::stream_motion {

inline constexpr std::size_t max_axes = 9;
inline constexpr std::size_t io_array_size = 256;
inline constexpr std::size_t gpio_entries = 32;
inline constexpr std::size_t threshold_entries = 20;
/// Data style of a version-3 command: joint angles. Any other value may make
/// the controller read the joints as a Cartesian pose.
inline constexpr std::uint16_t joint_data_style = 0xFFFF;
/// Data style of a version-1 command: joint angles.
inline constexpr std::uint8_t joint_data_style_v1 = 1;
/// The highest protocol version whose layouts this codec knows.
inline constexpr std::uint32_t newest_version = 4;

/// The leading u32 of every packet. Version 1 reuses small numbers, so a type
/// means something only together with the packet's size and direction.
namespace packet_type {
inline constexpr std::uint32_t start_v1 = 0;
inline constexpr std::uint32_t status_v1 = 0;
inline constexpr std::uint32_t command_v1 = 1;
inline constexpr std::uint32_t stop = 2;
inline constexpr std::uint32_t threshold = 3;
inline constexpr std::uint32_t get_capability = 7;
inline constexpr std::uint32_t set_capability = 8;
inline constexpr std::uint32_t start = 200;
inline constexpr std::uint32_t command = 201;
inline constexpr std::uint32_t status = 202;
inline constexpr std::uint32_t gpio = 203;
inline constexpr std::uint32_t status_with_force = 204;
inline constexpr std::uint32_t force_sensor_config = 205;
}  // namespace packet_type

/// Why a datagram was not taken as the packet asked for.
enum class DecodeError : std::uint8_t {
    wrong_size,     ///< no packet of the expected kind has this many bytes
    wrong_type,     ///< the leading u32 names another packet
    wrong_version,  ///< the version field does not belong to this layout
    bad_field,      ///< a field holds a value the packet cannot have (an axis 0, a kind 7)
};
std::string_view describe(DecodeError error) noexcept;

/// Which threshold table: joint velocity (deg/s), acceleration (deg/s²) or jerk (deg/s³).
enum class LimitKind : std::uint32_t { velocity = 0, acceleration = 1, jerk = 2 };
inline constexpr std::array<LimitKind, 3> limit_kinds{LimitKind::velocity, LimitKind::acceleration, LimitKind::jerk};
std::string_view describe(LimitKind kind) noexcept;

// --- host to controller ----------------------------------------------------------

/// Starts the status output (type 200; type 0 in version 1).
struct StartPacket {
    static constexpr std::size_t size = 8;
    std::uint32_t version{3};
};

/// Ends the status output (type 2, all versions).
struct StopPacket {
    static constexpr std::size_t size = 8;
    std::uint32_t version{3};
};

/// Asks for one threshold table (type 3).
struct ThresholdRequest {
    static constexpr std::size_t size = 16;
    std::uint32_t version{3};
    std::uint32_t axis{1};  ///< 1 to 9
    LimitKind kind{LimitKind::velocity};
};

/// Get (type 7) or set (type 8) capability; the controller answers in the
/// same layout. `sampling_rate` and `available_version` are the controller's
/// to fill.
struct CapabilityPacket {
    static constexpr std::size_t size = 28;
    bool set{false};
    std::uint32_t version{3};
    std::uint32_t id{1};
    std::uint32_t sampling_rate{0};       ///< the controller's period (ms)
    std::uint32_t start_move{0};          ///< commands buffered before motion starts (0 to 9)
    std::uint32_t available_version{0};   ///< the version the controller speaks
    std::uint32_t rob_status_use_tcp{0};  ///< status position: 0 faceplate, 1 TCP
};

/// One block of the I/O exchanged with every command and status.
struct GpioEntry {
    enum class Use : std::uint32_t { none = 0, io_command = 1, io_state = 2, register_command = 3, register_state = 4 };
    enum class Port : std::uint32_t {
        digital_out = 0,
        digital_in = 1,
        robot_out = 2,
        robot_in = 3,
        analog_out = 4,
        analog_in = 5,
        flag = 6,
        float_register = 100,
    };
    Use use{Use::none};
    Port port{Port::digital_out};
    std::uint32_t start{0};  ///< first index, 1-based (0 only in unused entries)
    std::uint32_t length{0};
};

/// The I/O configuration (type 203), sent before Start.
struct GpioConfigPacket {
    static constexpr std::size_t size = 520;
    std::uint32_t version{3};
    std::array<GpioEntry, gpio_entries> entries{};
};

/// Configures the force sensor (type 205, version 4 and later only).
struct ForceSensorConfigPacket {
    static constexpr std::size_t size = 16;
    std::uint32_t version{4};
    std::uint32_t do_reset{0};
    std::uint32_t fs_type{0};
};

/// One command, answering one status (type 201).
struct CommandPacket {
    static constexpr std::size_t size = 344;
    std::uint32_t version{3};
    std::uint32_t sequence_no{0};
    bool is_last_command{false};
    bool do_motion_control{false};  ///< 0 streams I/O only
    std::uint16_t data_style{joint_data_style};
    std::array<double, max_axes> position{};  ///< degrees (mm for linear axes)
    std::array<std::uint8_t, io_array_size> io_command{};
};

/// A version-1 command (type 1): single-precision position and one I/O read
/// and write per packet instead of the I/O arrays.
struct CommandV1Packet {
    static constexpr std::size_t size = 64;
    std::uint32_t version{1};
    std::uint32_t sequence_no{0};
    bool is_last_command{false};
    std::uint8_t read_io_type{0};
    std::uint16_t read_io_index{0};
    std::uint16_t read_io_mask{0};
    std::uint8_t data_style{joint_data_style_v1};
    std::uint8_t write_io_type{0};
    std::uint16_t write_io_index{0};
    std::uint16_t write_io_mask{0};
    std::uint16_t write_io_value{0};
    std::array<float, max_axes> position{};
};

// --- controller to host ----------------------------------------------------------

/// The controller's status, every period (type 202; 204 adds the force data).
struct StatusPacket {
    static constexpr std::size_t size = 388;
    static constexpr std::size_t size_with_force = 416;
    bool with_force{false};  ///< type 204
    std::uint32_t version{3};
    std::uint32_t sequence_no{0};
    std::uint8_t status{0};
    std::uint8_t robot_status{0};
    std::uint8_t contact_stop_status{0};
    std::uint32_t time_stamp{0};                 ///< ms
    std::array<float, max_axes> position{};     ///< X Y Z W P R E1 E2 E3 (mm, degrees)
    std::array<float, max_axes> joint_angle{};  ///< degrees (mm for linear axes)
    std::array<float, max_axes> current{};
    float safety_scale{1.0f};
    std::array<float, 6> force{};  ///< Fx Fy Fz (N), Mx My Mz (Nm); type 204 only
    std::uint32_t fs_type{0};      ///< type 204 only
    std::array<std::uint8_t, io_array_size> io_status{};
};

/// A version-1 status (type 0).
struct StatusV1Packet {
    static constexpr std::size_t size = 132;
    std::uint32_t version{1};
    std::uint32_t sequence_no{0};
    std::uint8_t status{0};
    std::uint8_t read_io_type{0};
    std::uint16_t read_io_index{0};
    std::uint16_t read_io_mask{0};
    std::uint16_t read_io_value{0};
    std::uint32_t time_stamp{0};
    std::array<float, max_axes> position{};
    std::array<float, max_axes> joint_angle{};
    std::array<float, max_axes> current{};
};

/// One threshold table of one axis and kind (type 3), entry i holding at
/// (i + 1) · 5 % of `max_cartesian_speed`.
struct ThresholdAnswer {
    static constexpr std::size_t size = 184;
    std::uint32_t version{3};
    std::uint32_t axis{1};
    LimitKind kind{LimitKind::velocity};
    std::uint32_t max_cartesian_speed{0};  ///< mm/s
    std::uint32_t interval{0};
    std::array<float, threshold_entries> no_payload{};
    std::array<float, threshold_entries> full_payload{};
};

/// The controller's answer to the I/O configuration (type 203, no version).
struct GpioResultPacket {
    static constexpr std::size_t size = 12;
    std::uint32_t result{0};  ///< 0 accepted; 2 does not match the controller's I/O assignment
    std::uint32_t ptf{0};     ///< process time factor
};

// --- encoding ------------------------------------------------------------------------
// Each writes the packet's `size` bytes to the front of `out` and returns
// that size, or returns 0 and writes nothing when `out` is too short.
std::size_t encode(const StartPacket& packet, std::span<std::uint8_t> out) noexcept;
std::size_t encode(const StopPacket& packet, std::span<std::uint8_t> out) noexcept;
std::size_t encode(const ThresholdRequest& packet, std::span<std::uint8_t> out) noexcept;
std::size_t encode(const CapabilityPacket& packet, std::span<std::uint8_t> out) noexcept;
std::size_t encode(const GpioConfigPacket& packet, std::span<std::uint8_t> out) noexcept;
std::size_t encode(const ForceSensorConfigPacket& packet, std::span<std::uint8_t> out) noexcept;
std::size_t encode(const CommandPacket& packet, std::span<std::uint8_t> out) noexcept;
std::size_t encode(const CommandV1Packet& packet, std::span<std::uint8_t> out) noexcept;
std::size_t encode(const StatusPacket& packet, std::span<std::uint8_t> out) noexcept;
std::size_t encode(const StatusV1Packet& packet, std::span<std::uint8_t> out) noexcept;
std::size_t encode(const ThresholdAnswer& packet, std::span<std::uint8_t> out) noexcept;
std::size_t encode(const GpioResultPacket& packet, std::span<std::uint8_t> out) noexcept;

// --- decoding ------------------------------------------------------------------------
// Each takes exactly one datagram and reads it into `packet`, or returns why
// not and leaves `packet` as it was. Versions accepted: 3 and 4 for the
// version-3 layouts (4 only for what version 4 added), 1 to 3 for the
// version-1 layouts (a controller was seen to report 3 in them), 1 to 4 for
// Stop and the threshold packets, and any non-zero version in a capability
// packet, which is how a controller tells its version.
std::optional<DecodeError> decode(std::span<const std::uint8_t> datagram, StartPacket& packet) noexcept;
std::optional<DecodeError> decode(std::span<const std::uint8_t> datagram, StopPacket& packet) noexcept;
std::optional<DecodeError> decode(std::span<const std::uint8_t> datagram, ThresholdRequest& packet) noexcept;
std::optional<DecodeError> decode(std::span<const std::uint8_t> datagram, CapabilityPacket& packet) noexcept;
std::optional<DecodeError> decode(std::span<const std::uint8_t> datagram, GpioConfigPacket& packet) noexcept;
std::optional<DecodeError> decode(std::span<const std::uint8_t> datagram, ForceSensorConfigPacket& packet) noexcept;
std::optional<DecodeError> decode(std::span<const std::uint8_t> datagram, CommandPacket& packet) noexcept;
std::optional<DecodeError> decode(std::span<const std::uint8_t> datagram, CommandV1Packet& packet) noexcept;
std::optional<DecodeError> decode(std::span<const std::uint8_t> datagram, StatusPacket& packet) noexcept;
std::optional<DecodeError> decode(std::span<const std::uint8_t> datagram, StatusV1Packet& packet) noexcept;
std::optional<DecodeError> decode(std::span<const std::uint8_t> datagram, ThresholdAnswer& packet) noexcept;
std::optional<DecodeError> decode(std::span<const std::uint8_t> datagram, GpioResultPacket& packet) noexcept;

/// Any datagram a controller sends, told apart by its size (unique among
/// them) and then checked like the single decoders above.
using ControllerPacket = std::variant<StatusPacket, StatusV1Packet, ThresholdAnswer, CapabilityPacket, GpioResultPacket>;
std::optional<DecodeError> decode_controller_packet(std::span<const std::uint8_t> datagram,
                                                    ControllerPacket& packet) noexcept;

/// The largest datagram either side sends.
inline constexpr std::size_t max_packet_size = GpioConfigPacket::size;

}  // namespace orvane::drivers::stream_motion
