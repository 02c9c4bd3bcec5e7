#pragma once

// A window that keeps some of the settings in memory and takes part in the whole load and save.
class TSettingsPart {
public:
    virtual ~TSettingsPart() = default;
    virtual void LoadSettings() = 0;
    virtual void SaveSettings() = 0;
};
