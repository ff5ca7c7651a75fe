// CMimeTypePage: the "Mime Type" page of the settings sheet: the server's map of file extensions
// to content types and the charset sent with text mail; CMimeTypeDlg edits one entry.
#pragma once

#include <QDialog>

#include "console/settings_page.h"

class CListCtrlEx;
class QLineEdit;

class CMimeTypeDlg : public QDialog
{
    Q_OBJECT
public:
    // `editing`: the extension is shown but can't be changed.
    CMimeTypeDlg(bool editing, QWidget* parent = nullptr);
    QLineEdit* Extension() const { return m_extension; }
    QLineEdit* ContentType() const { return m_contentType; }

private:
    QLineEdit* m_extension;
    QLineEdit* m_contentType;
};

class CMimeTypePage : public CSettingsPage
{
    Q_OBJECT
public:
    explicit CMimeTypePage(QWidget* parent = nullptr);

public slots:
    void OnNew();
    void OnEdit();
    void OnDelete();
    void OnServerDefault();

protected:
    void OnInitDialog() override;
    bool StoreControls() override;

private:
    CListCtrlEx* m_list;
    QLineEdit* m_encoding;
};
