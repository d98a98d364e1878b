#include "UserDetailsModel.h"

#include <QVariant>
#include <cmath>

UserDetailsModel UserDetailsModel::fromJson(const QJsonObject& object) {
    UserDetailsModel model;
    auto read = [&object](const char* key) -> std::optional<QString> {
        const auto n = jsonInteger(object.value(QLatin1String(key)));
        if (!n) return std::nullopt;
        return QString::number(*n);
    };
    model.ff_credit = read("ff_credit");
    model.tp_credit = read("tp_credit");
    model.sp_credit = read("sp_credit");
    return model;
}

std::optional<qint64> UserDetailsModel::jsonInteger(const QJsonValue& value) {
    if (!value.isDouble()) return std::nullopt;
    const QVariant v = value.toVariant();
    if (v.typeId() == QMetaType::LongLong || v.typeId() == QMetaType::Int) return v.toLongLong();
    const double d = value.toDouble();
    // 2^63 is exactly representable; anything at or above it does not fit.
    if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 ||
        d >= 9223372036854775808.0)
        return std::nullopt;
    return static_cast<qint64>(d);
}

qint64 UserDetailsModel::balance(const std::optional<QString>& field) {
    if (!field) return 0;
    bool ok = false;
    const qint64 n = field->trimmed().toLongLong(&ok, 10);
    return ok ? n : 0;
}

qint64 UserDetailsModel::creditTotal() const {
    // Saturate rather than overflow on absurd balances.
    qint64 total = 0;
    for (qint64 part : {freeBalance(), topUpBalance(), subscriptionBalance()}) {
        qint64 next = 0;
        if (__builtin_add_overflow(total, part, &next)) return part > 0 ? INT64_MAX : INT64_MIN;
        total = next;
    }
    return total;
}
