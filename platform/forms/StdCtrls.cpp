#include "platform/forms/StdCtrls.h"

#include "platform/forms/FormsPrivate.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyledItemDelegate>

#include <algorithm>

namespace {

using FormsImpl::ControlPeer;

QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

Qt::Alignment ToQtAlignment(TAlignment alignment) {
    switch (alignment) {
    case taRightJustify:
        return Qt::AlignRight | Qt::AlignTop;
    case taCenter:
        return Qt::AlignHCenter | Qt::AlignTop;
    case taLeftJustify:
    default:
        return Qt::AlignLeft | Qt::AlignTop;
    }
}

std::unique_ptr<ControlPeer> MakeLabelPeer() {
    auto* label = new QLabel;
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(ToQtAlignment(taLeftJustify));
    label->setMargin(0);
    return std::make_unique<ControlPeer>(label);
}

// Gives every entry of a combo box's list the same height.
class ItemHeightDelegate final : public QStyledItemDelegate {
public:
    explicit ItemHeightDelegate(QObject* parent) : QStyledItemDelegate(parent) {}
    void SetHeight(int height) { FHeight = height; }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(FHeight);
        return size;
    }

private:
    int FHeight = 13;
};

QLabel& LabelOf(const TControl& control) {
    return *static_cast<QLabel*>(control.Peer().Widget());
}

QPushButton& ButtonOf(const TControl& control) {
    return *static_cast<QPushButton*>(control.Peer().Widget());
}

QComboBox& ComboOf(const TControl& control) {
    return *static_cast<QComboBox*>(control.Peer().Widget());
}

QGroupBox& GroupBoxOf(const TControl& control) {
    return *static_cast<QGroupBox*>(control.Peer().Widget());
}

} // namespace

TLabel::TLabel(TComponent* owner) : TGraphicControl(owner, MakeLabelPeer()) {}

std::string TLabel::Caption() const {
    return LabelOf(*this).text().toStdString();
}

void TLabel::SetCaption(std::string_view caption) {
    QLabel& label = LabelOf(*this);
    // Compared in place: an unchanged caption costs no conversion.
    if (QAnyStringView::equal(label.text(), QUtf8StringView(caption.data(), caption.size()))) {
        return;
    }
    label.setText(ToQString(caption));
    FitToText();
}

void TLabel::SetAlignment(TAlignment alignment) {
    FAlignment = alignment;
    LabelOf(*this).setAlignment(ToQtAlignment(alignment));
}

void TLabel::SetAutoSize(bool autoSize) {
    FAutoSize = autoSize;
    FitToText();
}

bool TLabel::WordWrap() const {
    return LabelOf(*this).wordWrap();
}

void TLabel::SetWordWrap(bool wordWrap) {
    LabelOf(*this).setWordWrap(wordWrap);
    FitToText();
}

void TLabel::FitToText() {
    if (!FAutoSize) {
        return;
    }
    QLabel& label = LabelOf(*this);
    if (label.wordWrap()) {
        SetBounds(Left(), Top(), Width(), label.heightForWidth(Width()));
    } else {
        const QSize size = label.sizeHint();
        SetBounds(Left(), Top(), size.width(), size.height());
    }
}

TButton::TButton(TComponent* owner)
    : TWinControl(owner, std::make_unique<ControlPeer>(new QPushButton)) {
    QPushButton& button = ButtonOf(*this);
    button.setAutoDefault(false);
    QObject::connect(&button, &QPushButton::clicked, &button,
                     [this] { FormsImpl::RunHandler([this] { OnClick(this); }); });
}

std::string TButton::Caption() const {
    return ButtonOf(*this).text().toStdString();
}

void TButton::SetCaption(std::string_view caption) {
    ButtonOf(*this).setText(ToQString(caption));
}

void TButton::Click() {
    OnClick(this);
}

TComboBox::TComboBox(TComponent* owner)
    : TWinControl(owner, std::make_unique<ControlPeer>(new QComboBox)) {
    QComboBox& combo = ComboOf(*this);
    combo.setEditable(true);
    combo.setInsertPolicy(QComboBox::NoInsert);
    combo.setItemDelegate(new ItemHeightDelegate(&combo));
    QObject::connect(&combo, &QComboBox::currentTextChanged, &combo, [this] { TextChanged(); });
    QObject::connect(&combo, &QComboBox::editTextChanged, &combo, [this] { TextChanged(); });
}

TComboBoxStyle TComboBox::Style() const {
    return ComboOf(*this).isEditable() ? csDropDown : csDropDownList;
}

void TComboBox::SetStyle(TComboBoxStyle style) {
    QComboBox& combo = ComboOf(*this);
    combo.setEditable(style == csDropDown);
    if (style == csDropDown) {
        combo.setInsertPolicy(QComboBox::NoInsert);
    }
    TextChanged();
}

std::vector<std::string> TComboBox::Items() const {
    const QComboBox& combo = ComboOf(*this);
    std::vector<std::string> items;
    items.reserve(std::size_t(combo.count()));
    for (int i = 0; i < combo.count(); ++i) {
        items.push_back(combo.itemText(i).toStdString());
    }
    return items;
}

void TComboBox::SetItems(std::span<const std::string_view> items) {
    QComboBox& combo = ComboOf(*this);
    const QString typed = combo.isEditable() ? combo.currentText() : QString();
    combo.clear();
    for (const std::string_view item : items) {
        combo.addItem(ToQString(item));
    }
    // Qt selects the first item a list receives; here nothing is selected until asked for.
    combo.setCurrentIndex(-1);
    if (combo.isEditable()) {
        combo.setEditText(typed);
    }
    TextChanged();
}

int TComboBox::ItemIndex() const {
    return ComboOf(*this).currentIndex();
}

void TComboBox::SetItemIndex(int index) {
    QComboBox& combo = ComboOf(*this);
    combo.setCurrentIndex(index >= 0 && index < combo.count() ? index : -1);
    TextChanged();
}

void TComboBox::SetText(std::string_view text) {
    QComboBox& combo = ComboOf(*this);
    if (combo.isEditable()) {
        combo.setEditText(ToQString(text));
    } else {
        combo.setCurrentIndex(
            combo.findText(ToQString(text), Qt::MatchExactly | Qt::MatchCaseSensitive));
    }
    TextChanged();
}

void TComboBox::SetItemHeight(int height) {
    FItemHeight = std::max(height, 1);
    QComboBox& combo = ComboOf(*this);
    if (auto* delegate = dynamic_cast<ItemHeightDelegate*>(combo.itemDelegate())) {
        delegate->SetHeight(FItemHeight);
    }
}

void TComboBox::TextChanged() {
    FText = ComboOf(*this).currentText().toStdString();
}

TGroupBox::TGroupBox(TComponent* owner)
    : TWinControl(owner, std::make_unique<ControlPeer>(new QGroupBox)) {}

std::string TGroupBox::Caption() const {
    return GroupBoxOf(*this).title().toStdString();
}

void TGroupBox::SetCaption(std::string_view caption) {
    GroupBoxOf(*this).setTitle(ToQString(caption));
}
