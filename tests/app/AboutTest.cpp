#include <QLabel>
#include <QMouseEvent>
#include <QTest>
#include <gtest/gtest.h>

#include "app/UnitAbout.h"
#include "platform/Dialogs.h"
#include "support/Pty.h"

TEST(AboutBox, VersionIsCentredForItsOwnTextAndAWideControlStaysPut) {
    TFormAbout about;
    EXPECT_EQ(about.TextVer->text(), "Version: 1.2");
    EXPECT_EQ(about.TextVer->x(), (about.frameGeometry().width() - about.TextVer->width()) / 2);
    EXPECT_EQ(about.TextName->x(), (about.frameGeometry().width() - about.TextName->width()) / 2);

    QLabel wide(QString(80, QLatin1Char('W')), &about);
    wide.adjustSize();
    wide.move(24, 140);
    ASSERT_GT(wide.width(), about.frameGeometry().width());
    about.CenterControl(&wide);
    EXPECT_EQ(wide.x(), 24);
}

TEST(AboutBox, ItsFrameOffersClosingOnly) {
    TFormAbout about;
    EXPECT_FALSE(about.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(about.windowFlags() & Qt::WindowCloseButtonHint);
}

TEST(AboutBox, ALinkThatCannotBeOpenedIsIgnored) {
    TScriptedDialogs& dialogs = FreshDialogs();
    qputenv("QUELLOR_OPEN_COMMAND", "/nonexistent/quellor-opener");
    TFormAbout about;
    about.show();
    QTest::mouseClick(about.LabelURL, Qt::LeftButton);
    qunsetenv("QUELLOR_OPEN_COMMAND");
    EXPECT_TRUE(about.isVisible());
    EXPECT_TRUE(dialogs.Texts.isEmpty());
}
