// The simulator's control plane: C functions, prefix vxsim_, that tests and users' scripts call
// through ctypes (python/vexcam_sim/) to set up cameras, inject failures and inspect the
// calls a program made. SDK functions are addressed by their index in vxsim_function_name.
// Results: 0 success, -1 unknown function index, -2 invalid argument, -3 duplicate camera id.
#pragma once

#include <cstdint>

extern "C" {

std::int32_t vxsim_function_count(void);
/// Null for an index out of range.
const char* vxsim_function_name(std::int32_t fn);

void vxsim_reset(void);

std::uint32_t vxsim_camera_count(void);
/// Copies at most capacity bytes of the id (no NUL) and returns its full length.
std::uint32_t vxsim_camera_id(std::uint32_t index, char* out, std::uint32_t capacity);
void vxsim_clear_cameras(void);
std::int32_t vxsim_add_camera(const char* id, std::uint32_t width, std::uint32_t height,
                              std::uint32_t bits, const unsigned char* firmware,
                              std::uint32_t firmware_length);
/// How many cameras there are after loading and after reset.
std::uint32_t vxsim_default_camera_count(void);
/// Describes camera index of the configured cameras, or with defaults nonzero of the cameras
/// after loading: its id, NUL-terminated (id_capacity at least 64), its sensor, and the 32
/// bytes GetVEXCAMFWVersion writes (firmware_capacity at least 32). -2 for an index past the
/// end, a null pointer or a short buffer, with nothing written.
std::int32_t vxsim_camera_info(std::int32_t defaults, std::uint32_t index, char* id,
                               std::uint32_t id_capacity, std::uint32_t* width,
                               std::uint32_t* height, std::uint32_t* bits,
                               unsigned char* firmware, std::uint32_t firmware_capacity);

/// How many controls the cameras implement.
std::uint32_t vxsim_control_count(void);
/// Describes the index-th implemented control, in number order. Bounds are NaN for a read-only
/// control; read_only and integral are 0 or 1. The texts (name, description, unit, "" for
/// none) are static: they stay valid while the library is loaded. -2 for an index past the end
/// or a null pointer, with nothing written.
std::int32_t vxsim_control_info(std::uint32_t index, std::uint32_t* number, double* minimum,
                                double* maximum, double* initial, std::int32_t* read_only,
                                std::int32_t* integral, const char** name,
                                const char** description, const char** unit);
/// How many result codes the SDK functions return.
std::uint32_t vxsim_result_count(void);
/// Describes the index-th result code, in value order; the texts are static as above. -2 for an
/// index past the end or a null pointer.
std::int32_t vxsim_result_info(std::uint32_t index, std::uint32_t* value, const char** name,
                               const char** meaning);

/// The call after `after` that go through, and the times - 1 calls after it, return code.
std::int32_t vxsim_fail_next(std::int32_t fn, std::uint32_t code, std::uint32_t times,
                             std::uint32_t after);
std::int32_t vxsim_fail_always(std::int32_t fn, std::uint32_t code);
std::int32_t vxsim_clear_script(std::int32_t fn);
void vxsim_script_param(double value, std::uint32_t times);
/// Replaces the scan script; ids[i] (id_lengths[i] bytes, at most 64) is the id of index
/// id_indexes[i], and failing_indexes[i] fails with failing_codes[i].
std::int32_t vxsim_script_scan(std::uint32_t count, const std::uint32_t* id_indexes,
                               const char* const* ids, const std::uint32_t* id_lengths,
                               std::uint32_t id_count, const std::uint32_t* failing_indexes,
                               const std::uint32_t* failing_codes, std::uint32_t failing_count);
void vxsim_open_returns_null(std::int32_t flag);
/// Nonzero: an id may be opened again while a handle to it is open.
void vxsim_set_shared_open(std::int32_t flag);
/// written: bit 0 width, 1 height, 2 bits per pixel, 3 channels; data_length < 0: no data.
void vxsim_script_frame(std::uint32_t written, std::uint32_t width, std::uint32_t height,
                        std::uint32_t bits, std::uint32_t channels, const unsigned char* data,
                        std::int64_t data_length, std::uint32_t times);

std::uint64_t vxsim_calls(std::int32_t fn);
/// Argument count of the last call (-1: never called), its kinds ('h' handle, 'u' unsigned,
/// 'd' double, 's' text, 'n' null text) and values; the one text argument goes to text.
std::int32_t vxsim_last_args(std::int32_t fn, char* kinds, std::uint64_t* integers, double* reals,
                             std::uint32_t capacity, char* text, std::uint32_t text_capacity,
                             std::uint32_t* text_length);
/// Writes up to capacity function indexes, oldest first, and returns the log's length.
std::uint32_t vxsim_call_log(std::int32_t* out, std::uint32_t capacity);
/// 1 yes, 0 no, -1 unknown (never called, or no interpreter found).
std::int32_t vxsim_gil_held(std::int32_t fn);
std::int32_t vxsim_frame_buffer_zeroed(std::int32_t fn);

std::uint32_t vxsim_open_handles(std::uint64_t* out, std::uint32_t capacity);
std::uint64_t vxsim_last_handle(void);
// Every handle OpenVEXCAM returned since reset, in order; returns the count like open_handles.
std::uint32_t vxsim_opened_handles(std::uint64_t* out, std::uint32_t capacity);
std::uint32_t vxsim_close_count(std::uint64_t handle);
std::uint64_t vxsim_bad_handle_calls(void);

std::int32_t vxsim_block(std::int32_t fn);
std::int32_t vxsim_unblock(std::int32_t fn);
/// 1 when a thread waits inside fn within timeout_ms, else 0.
std::int32_t vxsim_wait_blocked(std::int32_t fn, std::uint32_t timeout_ms);

void vxsim_set_fast_frames(std::int32_t flag);
void vxsim_set_exposure_cap_us(std::uint64_t us);
/// Nonzero: pictures carry sensor noise (the default); zero: the deterministic picture.
void vxsim_set_noise(std::int32_t flag);
/// Restarts the noise sequence from seed.
void vxsim_set_seed(std::uint64_t seed);
}
