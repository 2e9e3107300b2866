// Requests by which the shutdown reaches drivers, the kernel and the board's power lines.
#pragma once

#include "platform/platform.h"

#define LCD_DEVICE_NAME       TEXT("SPI5:")
#define DUMP_DEVICE_NAME      TEXT("DMP1:")
#define BACKLIGHT_DEVICE_NAME TEXT("BKL1:")

#define IOCTL_SET_DEVICE_POWER 0x00001000u
#define IOCTL_DMP_DUMP_LOG     0x00221000u // FILE_DEVICE_UNKNOWN, function 0x400, buffered
#define IOCTL_HAL_OEM_COMMAND  0x01013E80u // FILE_DEVICE_HAL, function 4000, buffered

#define HAL_CMD_SHUTDOWN   1
#define HAL_CMD_WRITE_ERTC 10

#define DEVICE_POWER_STATE_D4 4
#define GPIO_DIRECTION_OUTPUT 1
#define GPIO_VALUE_OFF        0
#define GPIO_GPS_VBAT         152
#define GPIO_BT_VBAT          154
#define GPIO_PMU_POWER_OFF    68

// Switches the LCD panel off (device power state D4).
void LcdPowerOff(void);
// Sends the kernel its shutdown command; returns the control's result.
BOOL KernShutDown(void);
// Asks the log-dump driver to dump its log.
void DumpLogFile(void);
// Puts the backlight into D4 through the power manager.
void BacklightOff(void);
// Switches one board power line off: direction output, then value 0.
void PowerLineOff(DWORD dwGpio);
// Issues IOCTL_HAL_OEM_COMMAND with {command, value}; returns the control's result.
BOOL HalOemCommand(DWORD dwCommand, DWORD dwValue);
