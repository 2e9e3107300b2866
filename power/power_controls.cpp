// Device power controls.
#include "power/power_controls.h"

static HANDLE OpenDriver(LPCWSTR pszDevice)
{
    return CreateFileW(pszDevice, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

BOOL HalOemCommand(DWORD dwCommand, DWORD dwValue)
{
    DWORD rgdwInput[2];
    DWORD dwOutput = 0;
    DWORD dwBytesReturned = 0;

    rgdwInput[0] = dwCommand;
    rgdwInput[1] = dwValue;
    return KernelIoControl(IOCTL_HAL_OEM_COMMAND, rgdwInput, sizeof(rgdwInput), &dwOutput,
                           sizeof(dwOutput), &dwBytesReturned);
}

void LcdPowerOff(void)
{
    DWORD rgdwInput[2] = {DEVICE_POWER_STATE_D4, DEVICE_POWER_STATE_D4};

    HANDLE hLcd = OpenDriver(LCD_DEVICE_NAME);
    if (hLcd == INVALID_HANDLE_VALUE) {
        return;
    }
    if (!DeviceIoControl(hLcd, IOCTL_SET_DEVICE_POWER, rgdwInput, sizeof(rgdwInput), NULL, 0, NULL,
                         NULL)) {
        NKDbgPrintfW(TEXT("[BKL] : LCD IOCTL_SET_DEVICE_POWER D4 error.\r\n"));
    }
    CloseHandle(hLcd);
}

BOOL KernShutDown(void)
{
    NKDbgPrintfW(TEXT("[KernShutDown] called  ~ \r\n"));
    return HalOemCommand(HAL_CMD_SHUTDOWN, 1);
}

void DumpLogFile(void)
{
    HANDLE hDump = OpenDriver(DUMP_DEVICE_NAME);
    if (hDump == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT(" CreateFile DMP1: error = %d \r\n"), GetLastError());
        return;
    }
    DeviceIoControl(hDump, IOCTL_DMP_DUMP_LOG, NULL, 0, NULL, 0, NULL, NULL);
    CloseHandle(hDump);
}

void BacklightOff(void)
{
    SetDevicePower(BACKLIGHT_DEVICE_NAME, POWER_NAME, D4);
}

void PowerLineOff(DWORD dwGpio)
{
    GpioSetDirection(dwGpio, GPIO_DIRECTION_OUTPUT);
    GpioSetValue(dwGpio, GPIO_VALUE_OFF);
}
