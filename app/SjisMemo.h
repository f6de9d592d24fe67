// The text view: black, console-like, holding Shift_JIS text.
#pragma once

#include <QPlainTextEdit>

class SjisMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit SjisMemo(QWidget* parent = nullptr);
};
