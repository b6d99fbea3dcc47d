#include "app_harness.h"

#include <QCheckBox>
#include <QElapsedTimer>

namespace tarv::testing {

BoxAnswerer::BoxAnswerer(QMessageBox::StandardButton answer) : m_answer(answer) {
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
    m_timer.start(5);
}

BoxAnswerer::~BoxAnswerer() {
    m_timer.stop();
}

void BoxAnswerer::Poll() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box == nullptr || !box->isVisible() || box->property("answered").toBool()) {
            continue;
        }
        if (onBox && !onBox(*box)) {
            continue;
        }
        box->setProperty("answered", true);
        boxes.push_back({box->windowTitle().toStdString(), box->text().toStdString(),
                         box->icon() != QMessageBox::NoIcon});
        QAbstractButton* button = box->button(m_answer);
        if (button == nullptr) {
            button = box->button(QMessageBox::Ok);
        }
        if (button != nullptr) {
            button->click();
        } else {
            box->reject();
        }
    }
}

LoadedPackage::LoadedPackage(const PackageWriter& writer, std::string notes) {
    writer.WriteTo(m_dir / "TarvUpdate.Bin");
    if (!notes.empty()) {
        WriteFile(m_dir / "readme.txt", notes);
    }
}

LoadOptions LoadedPackage::Options(Clock& clock) const {
    LoadOptions options;
    options.packagePath = m_dir / "TarvUpdate.Bin";
    options.releaseNotesPath = m_dir / "readme.txt";
    options.clock = &clock;
    return options;
}

bool WaitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) {
            return false;
        }
        QTest::qWait(5);
    }
    return true;
}

void Click(QWidget& page, int id) {
    QPushButton* button = FindControl<QPushButton>(page, id);
    if (button != nullptr) {
        button->click();
    }
}

int RunWizard(CUpdateApp& app, const std::function<void(CProgressDlg& page)>& onProgress,
              bool continuous) {
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (CWelcomeDlg* welcome = ShownPage<CWelcomeDlg>()) {
            Click(*welcome, IDOK);
        } else if (CStartDlg* start = ShownPage<CStartDlg>()) {
            if (start->m_btnContinuous->isChecked() != continuous) {
                start->m_btnContinuous->click();
            }
            Click(*start, IDOK);
        } else if (CProgressDlg* page = ShownPage<CProgressDlg>()) {
            onProgress(*page);
        }
    });
    driver.start(10);
    return app.Run();
}

}  // namespace tarv::testing
