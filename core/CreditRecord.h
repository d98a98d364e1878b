#pragma once

#include "UserDetailsModel.h"

#include <QObject>
#include <optional>

// The process-wide credit record. It is created on first use from an empty object, so its three
// balances start absent.
class CreditRecord final : public QObject {
    Q_OBJECT
public:
    explicit CreditRecord(QObject* parent = nullptr);

    bool exists() const { return m_model.has_value(); }
    // The record, created on first use.
    UserDetailsModel& shared();
    // A copy of the record, or an empty one when it was never created.
    UserDetailsModel snapshot() const;
    // Replaces the whole record (a background-removal reply carries all three balances).
    void replace(const UserDetailsModel& model);
    // Empties the three balances, when the record exists: free, then top-up, then subscription.
    void clearBalances();
    // Sets the three balances from a credit check (subscription, then free, then top-up), creating
    // the record when needed.
    void setBalances(qint64 free, qint64 topUp, qint64 subscription);

signals:
    void changed();

private:
    std::optional<UserDetailsModel> m_model;
};
