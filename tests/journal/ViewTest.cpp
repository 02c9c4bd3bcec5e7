// The exchanges in the Information window: the table follows the journal while shown, probes
// hide, the bars show the phases on one scale, the details show the heads, and Save as HAR writes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
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

#include "journal/JournalView.h"

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
    EXPECT_EQ(viewed.View.Model->ScaleStart(), 0);
    EXPECT_EQ(viewed.View.Model->ScaleEnd(), viewed.Ms * 1000);
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
    EXPECT_EQ(viewed.View.Model->ScaleStart(), 0);
    EXPECT_EQ(viewed.View.Model->ScaleEnd(), 500000);
    journal.SetBounds(2, DefaultBodyBytes);
    EXPECT_EQ(viewed.View.Model->ScaleStart(), 10000) << "client 3 connected first of the rows left";
    EXPECT_EQ(viewed.View.Model->ScaleEnd(), 300000) << "the row that held the end went";
    journal.SetBounds(1, DefaultBodyBytes);
    EXPECT_EQ(viewed.View.Model->ScaleStart(), 10000);
    EXPECT_EQ(viewed.View.Model->ScaleEnd(), 300000);
    journal.SetBounds(2, DefaultBodyBytes);
    viewed.Probe();
    EXPECT_EQ(viewed.View.Model->ScaleEnd(), 300000) << "a hidden probe does not count";
    viewed.View.CheckProbes->setChecked(true);
    EXPECT_EQ(viewed.View.Model->ScaleStart(), 10000);
    EXPECT_EQ(viewed.View.Model->ScaleEnd(), 510000);
    journal.SetBounds(1, DefaultBodyBytes);
    EXPECT_EQ(viewed.View.Model->ScaleStart(), 500000) << "only the probe is left";
    EXPECT_EQ(viewed.View.Model->ScaleEnd(), 510000);
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
        ASSERT_EQ(viewed.View.MemoDetails->toPlainText(), TExchangesView::Details(journal.At(0))) << "piece " << piece;
        if (piece == 100) {
            ASSERT_GT(bar->maximum(), 10);
            place = bar->maximum() / 2;
            bar->setValue(place);
        }
    }
    EXPECT_EQ(bar->value(), place);
    journal.AnswerEnded(id);
    EXPECT_EQ(viewed.View.MemoDetails->toPlainText(), TExchangesView::Details(journal.At(0)));
    EXPECT_TRUE(viewed.View.MemoDetails->toPlainText().contains(QString::fromUtf8("piece 119 \xe2\x9c\x93 \xf0\x9f\x98\x80")));
}

TEST(ExchangesView, SaveAsHarWritesAPrivateFileSanitizedUnlessAskedOtherwise) {
    TViewed viewed;
    viewed.Exchange(1);
    QTemporaryDir folder;
    const QString path = folder.filePath("saved.har");
    bool sensitive = false;
    viewed.View.AskSavePath = [&] { return std::make_optional(std::make_pair(path, sensitive)); };
    viewed.View.BtSaveHarClick();
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
