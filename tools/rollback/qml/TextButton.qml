import QtQuick 2.6

// A framed text button; the default button of a window is drawn in blue.
Rectangle {
    id: button

    property bool defaultBtn: false
    property alias title: label.text
    property alias textSize: label.font.pixelSize
    property alias mouseBtnEnabled: mouseArea.enabled
    property alias textWidth: label.width

    signal clicked()

    width: 110
    height: 40
    radius: 4
    border.width: 1
    border.color: defaultBtn ? "deepskyblue" : "lightgray"
    color: !mouseArea.enabled ? "transparent"
                              : mouseArea.pressed ? (defaultBtn ? "deepskyblue" : "gainsboro")
                                                  : (defaultBtn ? "skyblue" : "white")

    Text {
        id: label
        anchors.centerIn: parent
        font.pixelSize: 22
        color: mouseArea.enabled ? "black" : "lightgray"
    }

    MouseArea {
        id: mouseArea
        anchors.fill: parent
        onClicked: button.clicked()
    }
}
