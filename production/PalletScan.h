#pragma once
// The one step of the receipt and the quality windows: a scanned pallet is
// recorded in the operator's name by a single command, confirmed on the notice
// line or refused with the server's code, and the field is emptied for the
// next pallet either way. Not for windows that validate before recording.

#include <QString>

class QLabel;
class QLineEdit;

// `commandHead` is the keyword and procedure; `recorded` the notice on success.
// Once the command is sent every failure is dropped: the pallet stays in the
// field so Enter tries again.
void recordPalletScan(QLineEdit* edTarima, QLabel* lbAvisos, const QString& commandHead,
                      const QString& recorded);
