// CWmiThermal: the WMI temperature source. Reads the `Temperature` of the first
// `ThermalTemperature` instance in namespace "ROOT\WMI" whose `InstanceName` contains
// "ACPI\PNP0C14\0_0", and hands the integer on unchanged as a sensor value (a key of the thermal
// map, not yet a temperature).
//
// Ownership: the object holds the locator and the namespace's services, each through one counted
// reference, from a successful InitComComponent until DeinitComComponent (or destruction).
//
// Thread safety: none of its own. InitComComponent and DeinitComComponent run on the thread that
// starts and stops the collector; GetSensorVoltage runs on the collector thread. The owner keeps
// a read from overlapping an init or a de-init. The object joins the multithreaded apartment, so
// the interface pointers are usable from the collector thread as they are.
#pragma once

#include "platform/com/com_ptr.h"
#include "platform/wmi/wbemcli.h"

class CWmiThermal {
public:
    CWmiThermal() = default;
    CWmiThermal(const CWmiThermal&) = delete;
    CWmiThermal& operator=(const CWmiThermal&) = delete;

    // Joins the multithreaded apartment, sets the process's security (unless it is already set),
    // creates the locator and connects to "ROOT\WMI". 1 on success; 0 with nothing held on failure.
    int InitComComponent();
    // Releases the services and the locator, and leaves the apartment that a successful init
    // entered (not one the thread already had in another model). Always 1.
    int DeinitComComponent();
    // Runs the query and reads the first matching instance's VT_I4 `Temperature` into *iVoltage.
    // 1 with *iVoltage set; 0 with *iVoltage untouched.
    int GetSensorVoltage(int* iVoltage);

private:
    int m_fInitialized = 0;  // 1 only while both interface pointers are held after a full init
    platform::ComPtr<IWbemLocator> m_pLocator;
    platform::ComPtr<IWbemServices> m_pServices;
    int m_fForeignApartment = 0;  // 1 when CoInitializeEx found the thread in another model
};
