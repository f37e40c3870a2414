#include "acquisition/thermal_acquisition.h"

namespace {

// Made with the module's other static objects, before DllMain runs.
CThermalAcquisition g_ThermalAcquisition;

}  // namespace

CThermalAcquisition* GetThermalAcquisition() { return &g_ThermalAcquisition; }
