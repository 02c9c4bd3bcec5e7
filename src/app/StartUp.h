#pragma once
#include <QString>
#include <memory>

class TFrmMainRSServ;
class TFormParams;
class TDistForm;
class TLine;
class TDeviceProbe;
class TDetection;
class TDeviceFollow;
class TTCPForm;
class TRSForm;
class TFormAbout;
namespace journal {
class TJournal;
}

// The six windows, the journal, and the line with those who ask it, created in this order and destroyed in the
// reverse one.
struct TWindows {
    std::unique_ptr<TFrmMainRSServ> Main;
    std::unique_ptr<TFormParams> Params;
    // The journal of exchanges, which the line and the TCP side tell and the Information window shows.
    std::unique_ptr<journal::TJournal> Journal;
    std::unique_ptr<TDistForm> Dist;
    std::unique_ptr<TLine> Line;
    std::unique_ptr<TTCPForm> Tcp;
    std::unique_ptr<TRSForm> Rs;
    std::unique_ptr<TDeviceProbe> Probe;
    std::unique_ptr<TDetection> Detection;
    std::unique_ptr<TDeviceFollow> Follower;
    std::unique_ptr<TFormAbout> About;
    TWindows();
    ~TWindows();
};

// Creates the windows and connects them; the settings live under the program's base name, with
// "-NAME" added for the named bridge NAME.
void CreateWindows(TWindows& windows, const QString& programBaseName, const QString& instance = {});

// The program's entry: one copy of each bridge runs; a second one asks it to show itself and ends.
int RunQuellor(int argc, char** argv);
