#pragma once
#include <QDialog>

class QLabel;
class QPushButton;

// The About box: product, version, a line about the maker and a link to the maker's site.
class TFormAbout : public QDialog {
public:
    explicit TFormAbout(QWidget* parent = nullptr);

    // Centres the control horizontally in the window; a control wider than the window stays put.
    void CenterControl(QWidget* control);
    void LabelURLClick();

    QLabel* TextName;
    QLabel* TextVer;
    QLabel* MakerLine;
    QLabel* LabelURL;
    QPushButton* Button1;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    bool Placed = false;
};

inline constexpr const char* MakerURL = "https://quellor.example.org";
