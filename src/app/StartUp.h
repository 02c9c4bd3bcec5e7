#pragma once
#include <QString>
#include <memory>

class TFrmMainRSServ;
class TFormParams;
class TDistForm;
class TTCPForm;
class TRSForm;
class TFormAbout;

// The six windows, created in this order and destroyed in the reverse one.
struct TWindows {
    std::unique_ptr<TFrmMainRSServ> Main;
    std::unique_ptr<TFormParams> Params;
    std::unique_ptr<TDistForm> Dist;
    std::unique_ptr<TTCPForm> Tcp;
    std::unique_ptr<TRSForm> Rs;
    std::unique_ptr<TFormAbout> About;
    TWindows();
    ~TWindows();
};

// Creates the windows and connects them; the settings live under the program's base name, with
// "-NAME" added for the named bridge NAME.
void CreateWindows(TWindows& windows, const QString& programBaseName, const QString& instance = {});

// The program's entry: one copy of each bridge runs; a second one asks it to show itself and ends.
int RunQuellor(int argc, char** argv);
