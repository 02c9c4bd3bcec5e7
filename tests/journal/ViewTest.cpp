// The exchanges in the Information window: the table follows the journal while shown, probes
// hide, the bars show the phases on one scale, the details show the heads, and Save as HAR writes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QLineEdit>
#include <QMenu>
#include <QFileDialog>
#include <QTimer>
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <sys/stat.h>

#include "journal/EntryDetails.h"
#include "journal/JournalView.h"
#include "support/Pty.h"

using namespace journal;

namespace {
const QByteArray Get = "GET /page.html HTTP/1.1\r\nHost: localhost\r\nCookie: id=secret\r\n\r\n";
const QByteArray Answer = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

struct TViewed {
    TJournal Journal;
    int64_t Ms = 0;
    TExchangesView View{&Journal};
    TViewed() {
        Journal.Clock = [this] { return Ms * 1000; };
        View.resize(900, 500);
    }
    void Exchange(int32_t client, int64_t waitMs = 100) {
        Journal.Accepted(client, "127.0.0.1");
        Journal.HeadRead(client, Get);
        Ms += 20;
        const uint64_t id = Journal.TakenUp(client, "COM1", "/dev/pts/3", {});
        Ms += 5;
        Journal.RequestWritten(id, Get);
        Ms += waitMs;
        Journal.AnswerArrived(id, Answer);
        Ms += 50;
        Journal.AnswerEnded(id);
        Journal.LineFree(id);
        Journal.Closed(client, Answer.size());
    }
    void Probe() {
        const uint64_t id = Journal.ProbeTakenUp(TOwner::IdleProbe, "COM1", {}, {});
        Journal.RequestWritten(id, "GET /id.txt HTTP/1.1\r\n\r\n");
        Ms += 10;
        Journal.ProbeEnded(id, TOutcome::Silent);
        Journal.LineFree(id);
    }
    int Rows() const { return View.Table->model()->rowCount(); }
};

int CountColour(const QImage& image, const QColor& colour) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += image.pixelColor(x, y).rgb() == colour.rgb();
    return count;
}
} // namespace

TEST(ExchangesView, TheTableGrowsWhileShownAndProbesShowOnlyWhenAskedFor) {
    TViewed viewed;
    viewed.Exchange(1);
    EXPECT_FALSE(viewed.View.Model->Live()) << "a hidden window follows nothing";
    viewed.View.show();
    EXPECT_EQ(viewed.Rows(), 1) << "shown, it reads the ring";
    viewed.Probe();
    viewed.Exchange(2);
    EXPECT_EQ(viewed.Rows(), 2);
    viewed.View.CheckProbes->setChecked(true);
    EXPECT_EQ(viewed.Rows(), 3);
    viewed.View.CheckProbes->setChecked(false);
    EXPECT_EQ(viewed.Rows(), 2);
    const QModelIndex outcome = viewed.View.Table->model()->index(1, TExchangeModel::ColOutcome);
    EXPECT_EQ(outcome.data().toString(), "device's answer");
    EXPECT_EQ(viewed.View.Table->model()->index(1, TExchangeModel::ColTarget).data().toString(), "/page.html");
    EXPECT_EQ(viewed.View.Table->model()->index(1, TExchangeModel::ColStatus).data().toInt(), 200);
    viewed.Journal.SetBounds(2, DefaultBodyBytes);
    EXPECT_EQ(viewed.Rows(), 1) << "the ring kept the probe and the last exchange";
    viewed.View.hide();
    viewed.Exchange(3);
    viewed.View.show();
    EXPECT_EQ(viewed.Rows(), 2) << "shown again, it reads the ring afresh";
    EXPECT_EQ(viewed.View.Table->model()->index(1, TExchangeModel::ColTime).data(TExchangeModel::SerialRole).toULongLong(),
              viewed.Journal.At(1).Serial);
}

TEST(ExchangesView, FixedAnswersAndDepartedClientsStandOut) {
    TViewed viewed;
    viewed.View.show();
    viewed.Exchange(1);
    viewed.Journal.Accepted(2, "127.0.0.1");
    viewed.Journal.HeadRead(2, Get);
    viewed.Journal.FixedAnswer(2, TFixed::NotResponding, "HTTP/1.1 503 Service Unavailable\r\n\r\n");
    viewed.Journal.Accepted(3, "127.0.0.1");
    viewed.Journal.HeadRead(3, Get);
    viewed.Journal.Closed(3, 0);
    const QAbstractItemModel* model = viewed.View.Table->model();
    EXPECT_FALSE(model->index(0, 0).data(Qt::BackgroundRole).isValid());
    const QColor fixed = model->index(1, 0).data(Qt::BackgroundRole).value<QColor>();
    const QColor left = model->index(2, 0).data(Qt::BackgroundRole).value<QColor>();
    EXPECT_TRUE(fixed.isValid());
    EXPECT_TRUE(left.isValid());
    EXPECT_NE(fixed, left);
    EXPECT_TRUE(model->index(2, 0).data(Qt::FontRole).value<QFont>().italic());
}

TEST(ExchangesView, EachBarShowsItsPhasesOnTheCommonScale) {
    TViewed viewed;
    viewed.View.show();
    viewed.Exchange(1, 400);
    viewed.Exchange(2, 400);
    EXPECT_EQ(viewed.View.Scale().Start(), 0);
    EXPECT_EQ(viewed.View.Scale().End(), viewed.Ms * 1000);
    viewed.View.Table->setColumnWidth(TExchangeModel::ColPhases, 400);
    QCoreApplication::processEvents();
    const QImage image = viewed.View.Table->viewport()->grab().toImage();
    for (int phase = 0; phase < 4; ++phase)
        EXPECT_GT(CountColour(image, TPhaseDelegate::PhaseColour(phase)), 0) << "phase " << phase;
    // The second bar begins where the first ended: its waiting room is grey from there on.
    const QRect second = viewed.View.Table->visualRect(viewed.View.Table->model()->index(1, TExchangeModel::ColPhases));
    const QRect first = viewed.View.Table->visualRect(viewed.View.Table->model()->index(0, TExchangeModel::ColPhases));
    const int y1 = first.center().y(), y2 = second.center().y();
    int firstEnd = 0, secondStart = image.width();
    for (int x = first.left(); x <= first.right(); ++x)
        if (image.pixelColor(x, y1).rgb() == TPhaseDelegate::PhaseColour(3).rgb())
            firstEnd = x;
    for (int x = second.right(); x >= second.left(); --x)
        if (image.pixelColor(x, y2).rgb() == TPhaseDelegate::PhaseColour(0).rgb())
            secondStart = x;
    EXPECT_LE(std::abs(secondStart - firstEnd), 3) << firstEnd << " " << secondStart;
}

TEST(ExchangesView, TheScaleFollowsTheRowsThatStayAsOldOnesGo) {
    TViewed viewed;
    TJournal& journal = viewed.Journal;
    viewed.View.show();
    // Client 1 stays under way the longest; client 3 connects before client 2 but sends its head after.
    journal.Accepted(1, "127.0.0.1");
    journal.HeadRead(1, Get);
    const uint64_t longest = journal.TakenUp(1, "COM1", {}, {});
    viewed.Ms = 10;
    journal.Accepted(3, "127.0.0.1");
    viewed.Ms = 20;
    viewed.Exchange(2);
    viewed.Ms = 300;
    journal.HeadRead(3, Get);
    viewed.Ms = 500;
    journal.AnswerArrived(longest, Answer);
    journal.AnswerEnded(longest);
    EXPECT_EQ(viewed.View.Scale().Start(), 0);
    EXPECT_EQ(viewed.View.Scale().End(), 500000);
    journal.SetBounds(2, DefaultBodyBytes);
    EXPECT_EQ(viewed.View.Scale().Start(), 10000) << "client 3 connected first of the rows left";
    EXPECT_EQ(viewed.View.Scale().End(), 300000) << "the row that held the end went";
    journal.SetBounds(1, DefaultBodyBytes);
    EXPECT_EQ(viewed.View.Scale().Start(), 10000);
    EXPECT_EQ(viewed.View.Scale().End(), 300000);
    journal.SetBounds(2, DefaultBodyBytes);
    viewed.Probe();
    EXPECT_EQ(viewed.View.Scale().End(), 300000) << "a hidden probe does not count";
    viewed.View.CheckProbes->setChecked(true);
    EXPECT_EQ(viewed.View.Scale().Start(), 10000);
    EXPECT_EQ(viewed.View.Scale().End(), 510000);
    journal.SetBounds(1, DefaultBodyBytes);
    EXPECT_EQ(viewed.View.Scale().Start(), 500000) << "only the probe is left";
    EXPECT_EQ(viewed.View.Scale().End(), 510000);
}

TEST(ExchangesView, TheSelectedRowShowsItsHeadsAndBodies) {
    TViewed viewed;
    viewed.View.show();
    viewed.Exchange(1);
    viewed.View.Table->selectRow(0);
    const QString details = viewed.View.MemoDetails->toPlainText();
    EXPECT_TRUE(details.contains("GET /page.html HTTP/1.1")) << details.toStdString();
    EXPECT_TRUE(details.contains("HTTP/1.1 200 OK"));
    EXPECT_TRUE(details.contains("hello"));
    EXPECT_TRUE(details.contains("COM1 (/dev/pts/3)"));
    viewed.View.hide();
    viewed.Exchange(2);
    viewed.View.show();
    EXPECT_EQ(viewed.View.Table->currentIndex().row(), 0) << "shown again, the row in the details is still selected";
    EXPECT_EQ(viewed.View.MemoDetails->toPlainText(), details);
    viewed.View.hide();
    viewed.Journal.SetBounds(1, DefaultBodyBytes);
    viewed.View.show();
    EXPECT_TRUE(viewed.View.MemoDetails->toPlainText().isEmpty()) << "the selected entry went while hidden";
}

TEST(ExchangesView, TheDetailsFollowAnExchangeUnderWayAndKeepTheReadersPlace) {
    TViewed viewed;
    TJournal& journal = viewed.Journal;
    viewed.View.show();
    journal.Accepted(1, "127.0.0.1");
    journal.HeadRead(1, Get);
    const uint64_t id = journal.TakenUp(1, "COM1", "/dev/pts/3", {});
    journal.RequestWritten(id, Get);
    journal.AnswerArrived(id, "HTTP/1.1 200 OK\r\n\r\n");
    viewed.View.Table->selectRow(0);
    QScrollBar* bar = viewed.View.MemoDetails->verticalScrollBar();
    int place = -1;
    for (int piece = 0; piece < 120; ++piece) {
        viewed.Ms += 1;
        journal.AnswerArrived(id, QByteArray("piece ") + QByteArray::number(piece) + " \xe2\x9c\x93 \xf0\x9f\x98\x80\n");
        ASSERT_EQ(viewed.View.MemoDetails->toPlainText(), Details(journal.At(0))) << "piece " << piece;
        if (piece == 100) {
            ASSERT_GT(bar->maximum(), 10);
            place = bar->maximum() / 2;
            bar->setValue(place);
        }
    }
    EXPECT_EQ(bar->value(), place);
    journal.AnswerEnded(id);
    EXPECT_EQ(viewed.View.MemoDetails->toPlainText(), Details(journal.At(0)));
    EXPECT_TRUE(viewed.View.MemoDetails->toPlainText().contains(QString::fromUtf8("piece 119 \xe2\x9c\x93 \xf0\x9f\x98\x80")));
}

TEST(ExchangesView, SaveAsHarWritesAPrivateFileSanitizedUnlessAskedOtherwise) {
    TViewed viewed;
    viewed.View.show();
    viewed.Exchange(1);
    QTemporaryDir folder;
    const QString path = folder.filePath("saved.har");
    bool sensitive = false;
    viewed.View.AskSavePath = [&] { return std::make_optional(std::make_pair(path, sensitive)); };
    viewed.View.BtSaveHarClick();
    ASSERT_TRUE(WaitUntil([&] { return viewed.View.BtSaveHar->isEnabled(); }));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray sanitized = file.readAll();
    EXPECT_TRUE(sanitized.contains("/page.html"));
    EXPECT_FALSE(sanitized.contains("secret"));
    file.close();
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    sensitive = true;
    viewed.View.BtSaveHarClick();
    ASSERT_TRUE(WaitUntil([&] { return viewed.View.BtSaveHar->isEnabled(); }));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("id=secret"));
    file.close();
    ASSERT_TRUE(QFile::remove(path));
    viewed.View.AskSavePath = [] { return std::optional<std::pair<QString, bool>>(); };
    viewed.View.BtSaveHarClick();
    EXPECT_FALSE(QFile::exists(path)) << "cancelled, nothing is written";
}

TEST(ExchangesView, TheSaveDialogAsksWhetherToKeepSensitiveValues) {
    bool found = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* candidate = qobject_cast<QFileDialog*>(widget); candidate && candidate->isVisible())
                    dialog = candidate;
        ASSERT_NE(dialog, nullptr);
        auto* sensitive = dialog->findChild<QCheckBox*>("CheckSensitive");
        found = sensitive && sensitive->isVisibleTo(dialog) && !sensitive->isChecked();
        dialog->reject();
    });
    EXPECT_FALSE(AskHarFile(nullptr).has_value());
    EXPECT_TRUE(found);
}

TEST(ExchangesView, NeitherTheJournalNorItsViewKeepsATimer) {
    TViewed viewed;
    viewed.View.show();
    EXPECT_TRUE(viewed.Journal.findChildren<QTimer*>().isEmpty());
    EXPECT_TRUE(viewed.View.findChildren<QTimer*>(Qt::FindDirectChildrenOnly).isEmpty());
}

namespace {
// A page load: the browser connects for n requests at once, the line serves them one by one.
void PageLoad(TViewed& viewed, int32_t firstClient, int n) {
    for (int i = 0; i < n; ++i)
        viewed.Journal.Accepted(firstClient + i, "127.0.0.1");
    for (int i = 0; i < n; ++i) {
        viewed.Journal.HeadRead(firstClient + i, Get);
        const uint64_t id = viewed.Journal.TakenUp(firstClient + i, "COM1", {}, {});
        viewed.Ms += 5;
        viewed.Journal.RequestWritten(id, Get);
        viewed.Ms += 60;
        viewed.Journal.AnswerArrived(id, Answer);
        viewed.Ms += 20;
        viewed.Journal.AnswerEnded(id);
        viewed.Journal.LineFree(id);
        viewed.Journal.Closed(firstClient + i, Answer.size());
    }
}

double PhasesWidth(const TViewed& viewed) {
    return viewed.View.Table->columnWidth(TExchangeModel::ColPhases) - 2 * TPhaseDelegate::Inset;
}

QStringList Column(const TViewed& viewed, int column) {
    QStringList texts;
    for (int row = 0; row < viewed.Rows(); ++row)
        texts << viewed.View.Table->model()->index(row, column).data().toString();
    return texts;
}
} // namespace

TEST(ExchangesView, TwoPageLoadsAMinuteApartBothReadAsWaterfallsAndTheScaleFollowsTheRowsInSight) {
    TViewed viewed;
    viewed.View.resize(1000, 420);
    viewed.View.show();
    PageLoad(viewed, 1, 4);
    const int64_t firstEnd = viewed.Ms * 1000;
    viewed.Ms += 60000;
    const int64_t secondStart = viewed.Ms * 1000;
    PageLoad(viewed, 10, 4);
    QCoreApplication::processEvents();
    const TWaterfall& scale = viewed.View.Scale();
    EXPECT_EQ(scale.Start(), 0);
    EXPECT_EQ(scale.End(), viewed.Ms * 1000);
    EXPECT_GE(scale.X(viewed.Ms * 1000) - scale.X(secondStart), PhasesWidth(viewed) / 3) << "the second load stays wide";
    EXPECT_GE(scale.X(firstEnd), PhasesWidth(viewed) / 3) << "and so does the first";
    // The second load's bars are drawn wide: its receiving phases show blue over a third of the column.
    const QImage image = viewed.View.Table->viewport()->grab().toImage();
    const QRect last = viewed.View.Table->visualRect(viewed.View.Table->model()->index(7, TExchangeModel::ColPhases));
    int blue = 0;
    for (int x = last.left(); x <= last.right(); ++x)
        blue += image.pixelColor(x, last.center().y()).rgb() == TPhaseDelegate::PhaseColour(3).rgb();
    EXPECT_GE(blue, 3);

    // Scrolled so that the first load's rows are out of sight, the scale spans the rest alone.
    PageLoad(viewed, 20, 40);
    viewed.View.Table->scrollToTop();
    QCoreApplication::processEvents();
    EXPECT_EQ(viewed.View.Scale().Start(), 0);
    viewed.View.Table->scrollToBottom();
    QCoreApplication::processEvents();
    const int top = viewed.View.Table->rowAt(0);
    ASSERT_GT(top, 8);
    EXPECT_EQ(viewed.View.Scale().Start(), EntrySpan(*viewed.View.Filter->EntryAt(top)).First);
    EXPECT_EQ(viewed.View.Scale().End(), viewed.Ms * 1000);
    EXPECT_TRUE(viewed.View.Scale().Breaks().empty());
}

TEST(ExchangesView, TheSelectedRowsBarsStayVisibleOnTheSelectionColour) {
    TViewed viewed;
    viewed.View.show();
    viewed.Exchange(1, 400);
    viewed.View.Table->selectRow(0);
    QCoreApplication::processEvents();
    const QImage image = viewed.View.Table->viewport()->grab().toImage();
    const QRect cell = viewed.View.Table->visualRect(viewed.View.Table->model()->index(0, TExchangeModel::ColPhases));
    const QColor base = viewed.View.Table->palette().color(QPalette::Base);
    int receive = 0, around = 0;
    for (int x = cell.left(); x <= cell.right(); ++x) {
        receive += image.pixelColor(x, cell.center().y()).rgb() == TPhaseDelegate::PhaseColour(3).rgb();
        around += image.pixelColor(x, cell.top() + 2).rgb() == base.rgb();
    }
    EXPECT_GT(receive, 10);
    EXPECT_GT(around, cell.width() / 2) << "the bar stands on a strip of the base colour";
}

TEST(ExchangesView, HeadersSortEveryColumnTheFilterMatchesEveryWordAndChangedRowsFollow) {
    TViewed viewed;
    viewed.View.show();
    viewed.Exchange(1, 300);
    viewed.Exchange(2, 50);
    viewed.Journal.Accepted(3, "127.0.0.1");
    viewed.Journal.HeadRead(3, "POST /upload HTTP/1.1\r\nHost: localhost\r\nContent-Length: 1\r\n\r\n");
    EXPECT_EQ(Column(viewed, TExchangeModel::ColMethod), QStringList({"GET", "GET", "POST"})) << "time order by default";
    EXPECT_EQ(Column(viewed, TExchangeModel::ColDuration)[0], "375 ms") << "the four phases added";
    viewed.View.Table->horizontalHeader()->setSortIndicator(TExchangeModel::ColDuration, Qt::DescendingOrder);
    EXPECT_EQ(Column(viewed, TExchangeModel::ColDuration), QStringList({"375 ms", "125 ms", "0 ms"}));
    viewed.View.Table->sortByColumn(TExchangeModel::ColMethod, Qt::DescendingOrder);
    EXPECT_EQ(Column(viewed, TExchangeModel::ColMethod)[0], "POST");
    viewed.View.Table->sortByColumn(TExchangeModel::ColTime, Qt::AscendingOrder);

    viewed.View.EditFilter->setText("503");
    EXPECT_EQ(viewed.Rows(), 0);
    viewed.Journal.FixedAnswer(3, TFixed::NotResponding, "HTTP/1.1 503 Service Unavailable\r\n\r\n");
    EXPECT_EQ(viewed.Rows(), 1) << "a row that came to match while filtered shows";
    viewed.View.EditFilter->setText("post RESPONDING");
    EXPECT_EQ(viewed.Rows(), 1);
    viewed.View.EditFilter->setText("get 200 /page");
    EXPECT_EQ(viewed.Rows(), 2);
    viewed.View.EditFilter->setText("get 503");
    EXPECT_EQ(viewed.Rows(), 0);
    viewed.View.EditFilter->clear();
    EXPECT_EQ(viewed.Rows(), 3);
    EXPECT_FALSE(viewed.View.EditFilter->accessibleName().isEmpty());
}

TEST(ExchangesView, SaveAsHarWritesWhatTheTableShowsInTheOrderOfTheirStartAndSaysSo) {
    TViewed viewed;
    viewed.View.show();
    // Client 2 connects first but its head comes last.
    viewed.Journal.Accepted(2, "127.0.0.1");
    viewed.Ms += 10;
    viewed.Exchange(1);
    viewed.Probe();
    viewed.Exchange(3);
    viewed.Journal.HeadRead(2, "GET /late.html HTTP/1.1\r\nHost: localhost\r\n\r\n");
    viewed.Journal.Closed(2, 0);
    viewed.Exchange(4);
    viewed.View.EditFilter->setText("html");
    ASSERT_EQ(viewed.Rows(), 4) << "the probe hides, the rest match";
    viewed.View.EditFilter->setText("page");
    ASSERT_EQ(viewed.Rows(), 3);
    viewed.View.EditFilter->setText("html");
    QTemporaryDir folder;
    const QString path = folder.filePath("shown.har");
    QString problem = "not yet";
    viewed.View.SaveHar(path, false, [&](const QString& said) { problem = said; });
    ASSERT_TRUE(WaitUntil([&] { return problem != "not yet"; }));
    EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonArray entries = QJsonDocument::fromJson(file.readAll()).object()["log"].toObject()["entries"].toArray();
    QStringList urls;
    for (const QJsonValue& entry : entries)
        urls << entry.toObject()["request"].toObject()["url"].toString();
    EXPECT_EQ(urls, QStringList({"http://localhost/late.html", "http://localhost/page.html", "http://localhost/page.html",
                                 "http://localhost/page.html"}));
    EXPECT_EQ(viewed.View.StaticTextSaved->text(), QStringLiteral("Saved 4 entries to %1").arg(path));
}

TEST(ExchangesView, AFixedAnswerBeforeTheDeviceTellsNoDeviceStoryAndEachOutcomeSaysWhy) {
    TViewed viewed;
    TJournal& journal = viewed.Journal;
    journal.Accepted(1, "127.0.0.1");
    journal.HeadRead(1, Get);
    journal.TakenUp(1, "COM1", "/nonexistent/COM1", "id=quellor-devsim");
    viewed.Ms += 2;
    journal.FixedAnswer(1, TFixed::NotAvailable, "HTTP/1.1 503 Service Unavailable\r\n\r\nCOM1 is not available.");
    const QString missing = Details(journal.At(0));
    EXPECT_FALSE(missing.contains("as the device got it")) << missing.toStdString();
    EXPECT_TRUE(missing.contains("the device got none of it"));
    EXPECT_FALSE(missing.contains("sending"));
    EXPECT_FALSE(missing.contains("id=quellor-devsim"));
    EXPECT_TRUE(missing.contains("COM1 could not be written")) << missing.toStdString();
    EXPECT_TRUE(missing.contains("meant for COM1"));
    EXPECT_EQ(journal.At(0).Phases().Send, 0);
    EXPECT_EQ(journal.At(0).Phases().Blocked, 2000) << "the time went by in the bridge";

    viewed.Exchange(2);
    const QString answered = Details(journal.At(1));
    EXPECT_TRUE(answered.contains("as the device got it"));
    EXPECT_TRUE(answered.contains("sending 5.0 ms"));
    EXPECT_TRUE(answered.contains("The device answered, and its answer went to the client."));

    journal.Accepted(3, "127.0.0.1");
    journal.HeadRead(3, "GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n");
    journal.Refused(3, TRefusal::Host, "evil.example", "HTTP/1.1 403 Forbidden\r\n\r\n");
    EXPECT_TRUE(Details(journal.At(2)).contains("names the host evil.example"));
    journal.Accepted(4, "127.0.0.1");
    journal.HeadRead(4, Get);
    journal.FixedAnswer(4, TFixed::NotResponding, "HTTP/1.1 503 Service Unavailable\r\n\r\n");
    EXPECT_TRUE(Details(journal.At(3)).contains("stopped answering while the request waited"));
    for (int row = 0; row < journal.Count(); ++row)
        EXPECT_FALSE(Explanation(journal.At(row)).isEmpty());
}

TEST(ExchangesView, TheRowMenuCopiesAndSavesAndCtrlCCopiesTheSelectedRows) {
    TViewed viewed;
    viewed.View.show();
    viewed.Exchange(1);
    viewed.Journal.Accepted(2, "127.0.0.1");
    viewed.Journal.HeadRead(2, Get);
    viewed.Journal.Closed(2, 0);
    std::unique_ptr<QMenu> menu(viewed.View.RowMenu(viewed.Journal.At(0), nullptr));
    auto action = [&](const char* name) { return menu->findChild<QAction*>(name); };
    for (const char* name : {"ActCopyUrl", "ActCopyCurl", "ActCopyBody", "ActSaveBody", "ActCopyRows"})
        ASSERT_NE(action(name), nullptr) << name;
    action("ActCopyUrl")->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "http://localhost/page.html");
    action("ActCopyCurl")->trigger();
    EXPECT_TRUE(QGuiApplication::clipboard()->text().startsWith("curl 'http://localhost/page.html' -H 'Cookie: id=secret'"));
    action("ActCopyBody")->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "hello");
    QTemporaryDir folder;
    QString offered;
    viewed.View.AskBodyPath = [&](const QString& suggested) {
        offered = suggested;
        return folder.filePath("saved.body");
    };
    action("ActSaveBody")->trigger();
    EXPECT_EQ(offered, "page.html");
    QFile saved(folder.filePath("saved.body"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), "hello");
    std::unique_ptr<QMenu> none(viewed.View.RowMenu(viewed.Journal.At(1), nullptr));
    EXPECT_FALSE(none->findChild<QAction*>("ActSaveBody")->isEnabled()) << "a client that left got no body";

    viewed.View.Table->selectAll();
    QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier);
    QCoreApplication::sendEvent(viewed.View.Table, &copy);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(),
              "GET http://localhost/page.html 200 43 B 175 ms\nGET http://localhost/page.html - 0 B 0 ms\n");
}

TEST(ExchangesView, ClearEmptiesTheJournalAndTheTable) {
    TViewed viewed;
    viewed.View.show();
    viewed.Exchange(1);
    viewed.Exchange(2);
    viewed.View.Table->selectRow(0);
    ASSERT_FALSE(viewed.View.MemoDetails->toPlainText().isEmpty());
    viewed.View.BtClearJournal->click();
    EXPECT_EQ(viewed.Journal.Count(), 0);
    EXPECT_EQ(viewed.Rows(), 0);
    EXPECT_TRUE(viewed.View.MemoDetails->toPlainText().isEmpty());
    EXPECT_TRUE(viewed.View.Scale().Empty());
    viewed.Exchange(3);
    EXPECT_EQ(viewed.Rows(), 1) << "the journal goes on after a clear";
}
