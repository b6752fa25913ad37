import QtQuick 2.12
import QtQuick.Controls 2.12

// A yes/no question; the owner connects to accepted() and rejected().
Dialog {
    id: dialog
    property alias question: questionText.text

    modal: true
    anchors.centerIn: Overlay.overlay
    width: 320
    standardButtons: Dialog.Yes | Dialog.No

    Text {
        id: questionText
        width: parent.width
        wrapMode: Text.Wrap
        horizontalAlignment: Text.AlignHCenter
        font.pixelSize: 15
    }
}
