#include "diag/diag_settings.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "daemon/env.h"
#include "daemon/log.h"
#include "diag/dsp_type.h"
#include "interfaces/diag_lsm.h"
#include "interfaces/odl_protocol.h"
#include "interfaces/properties.h"

namespace {

constexpr int init_attempts = 25;
constexpr unsigned int init_retry_pause_us = 200000;
constexpr unsigned int init_settle_pause_us = 6000000;

constexpr uint8_t SNS_TX_MODE_STREAMING = 0;
constexpr uint8_t SNS_TX_MODE_CIRCULAR = 2;
constexpr uint8_t low_watermark = 20;
constexpr uint8_t high_watermark = 70;

// "start", a line feed and the zero byte: 7 bytes.
constexpr char odl_start_command[] = "start\n";

// Tries Diag_LSM_Init up to 25 times, 200 ms after every failure; true once
// the client is ready.
bool init_diag_client() {
  for (int count = 1; count <= init_attempts; ++count) {
    SNS_LOG_AS("handle_diag_settings", sensors_log::info, "try Diag_LSM_Init, count = %d", count);
    if (Diag_LSM_Init(nullptr)) {
      return true;
    }
    current_env().pause_us(init_retry_pause_us);
  }
  return false;
}

// Starts the capture tool in the background with the peripheral options of
// this device's processor.
void start_capture_tool() {
  const bool kora = sensors_target::get_dsp_type() == sensors_target::DSP_TYPE_KORA;
  if (kora) {
    current_env().shell(odl::launch_line(odl::kora_group_option, odl::sensors_directory).c_str());
  }
  current_env().shell(
      odl::launch_line(odl::variant_option(kora, false), odl::sensors_directory).c_str());
}

// Tells the on-device-logging channel that capture runs, through its command file.
void write_start_command() {
  FILE* file = std::fopen(odl::command_file, "w");
  SNS_LOG_AS("handle_diag_settings", sensors_log::info, " after opening file ");
  if (file == nullptr) {
    SNS_LOG_AS("handle_diag_settings", sensors_log::error, " error opening diag_odl_file");
    return;
  }
  const size_t written = std::fwrite(odl_start_command, 1, sizeof odl_start_command, file);
  SNS_LOG_AS("handle_diag_settings", sensors_log::info, " written %zu", written);
  if (written != sizeof odl_start_command) {
    SNS_LOG_AS("handle_diag_settings", sensors_log::error, " write error to diag_odl_file");
  }
  // Unexamined, as the daemon's: the count written is what it reports.
  static_cast<void>(std::fclose(file));
}

}  // namespace

bool diag_buffering_enabled() {
  char value[PROPERTY_VALUE_MAX] = {};
  bool enabled = true;
  if (property_get("persist.vendor.sensors.diag_buffer_mode", value, "false") > 0) {
    // Only the first five bytes count, case-sensitively: "falsey" streams.
    enabled = std::memcmp(value, "false", 5) != 0;
  }
  SNS_LOG(sensors_log::info, "DIAG Buffering mode val: %d", enabled ? 1 : 0);
  return enabled;
}

void handle_diag_settings() {
  if (!init_diag_client()) {
    SNS_LOG(sensors_log::error, "Diag_LSM_Init failed!");
    return;
  }
  SNS_LOG(sensors_log::info, "Diag_LSM_Init is successful");
  current_env().pause_us(init_settle_pause_us);

  const bool circular = diag_buffering_enabled();
  if (circular) {
    SNS_LOG(sensors_log::info, "Setting SNS TX MODE to CIRCULAR BUFF");
  } else {
    SNS_LOG(sensors_log::info, "Setting SNS TX MODE to STREAMING");
  }
  const uint8_t mode = circular ? SNS_TX_MODE_CIRCULAR : SNS_TX_MODE_STREAMING;
  // Only peripheral 9's answer is examined.
  static_cast<void>(
      diag_configure_peripheral_buffering_tx_mode(3, mode, low_watermark, high_watermark));
  const int result =
      diag_configure_peripheral_buffering_tx_mode(9, mode, low_watermark, high_watermark);
  if (result == 1) {
    SNS_LOG(sensors_log::info, "Set SNS TX MODE success and return val: %d", result);
  } else {
    SNS_LOG(sensors_log::error, "Set SNS TX MODE failed and return val: %d", result);
  }

  if (!circular || access(odl::diag_cfg_path, F_OK) != 0) {
    return;
  }
  SNS_LOG(sensors_log::info, " Diag.cfg present: starting trcap ");
  start_capture_tool();
  write_start_command();
}
