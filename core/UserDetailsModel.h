#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <optional>

// The three credit balances as decimal texts: free, top-up and subscription.
class UserDetailsModel final {
public:
    std::optional<QString> ff_credit;
    std::optional<QString> tp_credit;
    std::optional<QString> sp_credit;

    UserDetailsModel() = default;
    // Takes "ff_credit", "tp_credit" and "sp_credit"; each counts only as an exact integer.
    static UserDetailsModel fromJson(const QJsonObject& object);

    // A JSON number that converts exactly to a signed 64-bit integer; nothing for anything else
    // (a numeric string included).
    static std::optional<qint64> jsonInteger(const QJsonValue& value);
    // A stored balance text as a number: absent, empty and unparsable texts count as 0.
    static qint64 balance(const std::optional<QString>& field);

    qint64 freeBalance() const { return balance(ff_credit); }
    qint64 topUpBalance() const { return balance(tp_credit); }
    qint64 subscriptionBalance() const { return balance(sp_credit); }
    qint64 creditTotal() const;
    // Whether any balance is known (absent or emptied balances mean "not answered", not zero).
    bool hasBalances() const {
        for (const auto* b : {&ff_credit, &tp_credit, &sp_credit})
            if (*b && !(*b)->isEmpty()) return true;
        return false;
    }
    // Out of credit exactly when the total is 0; a negative total is not.
    bool isOutOfCredit() const { return creditTotal() == 0; }
};
