#include "app/sim_operator.h"

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <iostream>

#include "app/dialog_builder.h"
#include "app/pages.h"

namespace tarv {
namespace {

constexpr int OPERATOR_PERIOD_MS = 20;

void Say(const char* step) {
    std::cout << "operator: " << step << std::endl;
}

}  // namespace

CSimOperator::CSimOperator(bool continuous) : m_bContinuous(continuous) {
    connect(&m_timer, &QTimer::timeout, this, &CSimOperator::Act);
    m_timer.start(OPERATOR_PERIOD_MS);
}

void CSimOperator::Act() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (!window->isVisible()) {
            continue;
        }
        if (auto* welcome = qobject_cast<CWelcomeDlg*>(window); welcome && !m_bNextPressed) {
            m_bNextPressed = true;
            Say("Next");
            FindControl<QPushButton>(*welcome, IDOK)->click();
            return;
        }
        if (auto* start = qobject_cast<CStartDlg*>(window)) {
            if (m_bContinuous && !start->m_btnContinuous->isChecked()) {
                Say("continuous mode");
                start->m_btnContinuous->click();
            }
            // Not before the device is there: the box that says there is none would wait.
            if (m_bPlugged) {
                m_timer.stop();
                Say("Start");
                FindControl<QPushButton>(*start, IDOK)->click();
            }
            return;
        }
    }
}

}  // namespace tarv
