import QtQuick 2.12
import QtQuick.Controls 2.12

// A short notice over the window, closed by a click outside or by its button.
Popup {
    id: popup
    property alias message: messageText.text

    modal: true
    focus: true
    anchors.centerIn: Overlay.overlay
    width: 320
    height: 140
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside

    Text {
        id: messageText
        anchors.top: parent.top
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.margins: 10
        wrapMode: Text.Wrap
        horizontalAlignment: Text.AlignHCenter
        font.pixelSize: 15
    }

    Button {
        text: "确定"
        anchors.bottom: parent.bottom
        anchors.horizontalCenter: parent.horizontalCenter
        onClicked: popup.close()
    }
}
