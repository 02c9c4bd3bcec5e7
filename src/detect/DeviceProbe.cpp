// The device probe and the detection pass over all serial ports.
#include <QComboBox>

#include "app/Hub.h"
#include "bridge/DistUnit.h"
#include "bridge/sv_RS.h"
#include "detect/DeviceFollow.h"
#include "detect/EnumDevices.h"
#include "serial/PortNames.h"
#include "platform/WinMessage.h"
#include "platform/Tracing.h"
#include "settings/sv_params.h"

namespace {
constexpr uint8_t FoundDevice = 7;
constexpr int MaxShown = 100;
constexpr int ShownCut = 99;

const char* const Labels[] = {"none",           "progress...",    "COM Error",   "Time Out",
                              "Unknown device\r\n", "HTTP device\r\n", "Found Id\r\n", "Found Device\r\n"};

QByteArray ReplaceFirst(QByteArray text, const QByteArray& what, const QByteArray& with) {
    const qsizetype at = text.indexOf(what);
    return at < 0 ? text : text.replace(at, what.size(), with);
}

// Raises an answer's code 4 to 5, 6 or 7 by what it holds; the text shown is the body for 7.
uint8_t Classify(QByteArray& text) {
    uint8_t code = 4;
    if (!text.startsWith("HTTP"))
        return code;
    code = 5;
    if (!text.contains("200 OK"))
        return code;
    code = 6;
    const qsizetype blank = text.indexOf("\r\n\r\n");
    if (blank < 0)
        return code;
    text.remove(0, blank + 4);
    return text.isEmpty() ? code : FoundDevice;
}

QByteArray Trimmed(QByteArray text) {
    if (text.size() > MaxShown)
        text.truncate(ShownCut);
    text.replace('\0', "#0");
    if (text.size() > MaxShown)
        text.truncate(ShownCut);
    return text;
}

QString EntryName(const QString& entry) { return entry.section(QLatin1Char('='), 0, 0); }
} // namespace

QByteArray ProbeRequest() {
    const QByteArray probeTemplate = "GET ~ HTTP/1.1\r\nHost: ~\r\nAccept: text/html, */*\r\n"
                                     "User-Agent: Mozilla\r\nConnection: keep-alive\r\n\r\n";
    return ReplaceFirst(ReplaceFirst(probeTemplate, "~", "/id.txt"), "~", "localhost");
}

void TDistForm::ReportProbeResult() {
    QByteArray text = StatusText;
    if (ProbeResult == 4 && !text.isEmpty())
        ProbeResult = Classify(text);
    QByteArray line = RSForm->PortName().toUtf8() + ": " + Labels[ProbeResult];
    if (ProbeResult >= 4)
        line += Trimmed(text);
    StatusText = line;
    qCDebug(lcDetect) << "probe result" << ProbeResult << "on" << RSForm->PortName();
    if (StatusText != LastLoggedStatus) {
        LastLoggedStatus = StatusText;
        AddLogLine(StatusText, true);
        AddLogLine("----------------", false);
    }
    SendWinMessage(Hub, WM_SV_DIST_STATE);
    if (Follower)
        Follower->ProbeReported();
    if (PassMode != 1)
        return;
    if (ProbeResult > BestResult) {
        BestIndex = PortIndex;
        BestResult = ProbeResult;
        if (BestResult == FoundDevice)
            PortIndex = static_cast<int32_t>(PortList.size());
    }
    NextPort();
}

void TDistForm::StartDetection() {
    if (PassMode == 1)
        return;
    PassMode = 1;
    PortList.clear();
    BestIndex = 0;
    ProbeResult = 0;
    BestResult = 0;
    if (const std::unique_ptr<QStringList> ports = GetComPortList(*EnumSources))
        PortList = *ports;
    ArrangePorts(PortList);
    AppendMemoLines(PortList);
    AddLogLine(QByteArray(), false);
    PortIndex = 0;
    NextPort();
}

void TDistForm::ArrangePorts(QStringList& list) const {
    const QString configured = RSForm->PortName();
    const bool saved = FormParams->Saved > 0;
    bool exchanged = true;
    while (exchanged) {
        exchanged = false;
        for (qsizetype i = 0; i + 1 < list.size(); ++i) {
            if (saved && EntryName(list[i]) == configured)
                continue;
            if (saved && EntryName(list[i + 1]) == configured) {
                list.swapItemsAt(i, i + 1);
                exchanged = true;
                continue;
            }
            if (list[i + 1].toUpper().contains(QLatin1String("USB")) &&
                !list[i].toUpper().contains(QLatin1String("USB"))) {
                list.swapItemsAt(i, i + 1);
                exchanged = true;
            }
        }
    }
    for (const QString& entry : list)
        if (EntryName(entry) == configured)
            return;
    list << configured + QStringLiteral("=User settings (") + configured + QLatin1Char(')');
}

void TDistForm::NextPort() {
    if (ProbeResult == 1)
        return;
    if (PortIndex < PortList.size()) {
        if (State != dsIdle)
            return;
        ++PortIndex;
        PassMode = 1;
        RSForm->OpenPort(EntryName(PortList[PortIndex - 1]));
        StartProbe(false);
        return;
    }
    ++PortIndex;
    PassMode = 2;
    if (BestIndex > 0 && BestResult >= 4) {
        const QString entry = PortList[BestIndex - 1];
        const QString name = EntryName(entry);
        if (const int n = ComNumber(name); n > 0 && n <= FormParams->ComboBox_PortRS->count()) {
            FormParams->ComboBox_PortRS->setCurrentIndex(n - 1);
            RSForm->DetectCOM = n;
            RSForm->DetectName = name;
            RSForm->DetectDescription = entry.section(QLatin1Char('='), 1);
            FormParams->SaveSettings();
        }
    }
    RSForm->ClosePort();
    RSForm->OpenConfiguredPort();
    PostWinMessage(Hub, WM_SV_DIST_END);
}
