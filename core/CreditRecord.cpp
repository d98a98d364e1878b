#include "CreditRecord.h"

CreditRecord::CreditRecord(QObject* parent) : QObject(parent) {}

UserDetailsModel& CreditRecord::shared() {
    if (!m_model) m_model = UserDetailsModel::fromJson(QJsonObject());
    return *m_model;
}

UserDetailsModel CreditRecord::snapshot() const {
    return m_model.value_or(UserDetailsModel());
}

void CreditRecord::replace(const UserDetailsModel& model) {
    m_model = model;
    emit changed();
}

void CreditRecord::clearBalances() {
    if (!m_model) return;
    m_model->ff_credit = QString();
    m_model->tp_credit = QString();
    m_model->sp_credit = QString();
    emit changed();
}

void CreditRecord::setBalances(qint64 free, qint64 topUp, qint64 subscription) {
    shared();
    m_model->sp_credit = QString::number(subscription);
    m_model->ff_credit = QString::number(free);
    m_model->tp_credit = QString::number(topUp);
    emit changed();
}
