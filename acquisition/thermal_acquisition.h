// The process-wide acquisition object. For now it only owns the thermal map, so that the map's
// first load (with its 5-second settling wait) runs while the module loads; sampling, reporting
// and the power-source notifier are not part of it yet.
//
// Ownership and thread safety: one static instance, made at module load and destroyed at unload.
// Its map follows CThermalMap's rule: loads, clears and lookups never overlap.
#pragma once

#include "acquisition/thermal_map.h"

class CThermalAcquisition {
public:
    CThermalAcquisition() = default;
    CThermalAcquisition(const CThermalAcquisition&) = delete;
    CThermalAcquisition& operator=(const CThermalAcquisition&) = delete;

    CThermalMap& ThermalMap() { return m_map; }

private:
    CThermalMap m_map;
};

// The one acquisition object of the process.
CThermalAcquisition* GetThermalAcquisition();
