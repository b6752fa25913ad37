import QtQuick 2.7
import QtQuick.Controls 2.0
import QtQuick.Layouts 1.3
import Qt.labs.platform 1.0

// The download's progress: a green bar and the percentage. Shown and hidden
// only by the application object.
ApplicationWindow {
    id: wndMain
    visible: false
    width: 380
    height: 50

    Rectangle {
        id: rectBkgnd
        objectName: "rectBkgnd"
        anchors.left: parent.left
        anchors.leftMargin: 15
        anchors.verticalCenter: parent.verticalCenter
        color: "#77dd77"
        height: 30
        width: mainwindow.progress * 3.5
    }

    Text {
        id: textSung
        objectName: "textSung"
        width: 20
        height: 60
        anchors.centerIn: parent
        verticalAlignment: Text.AlignVCenter
        color: "#303030"
        font.pixelSize: 20
        text: mainwindow.progress + "%"
    }

    Component.onCompleted: {
        if (Qt.platform.os !== "android") {
            minimumWidth = 380
            maximumWidth = 380
            minimumHeight = 50
            maximumHeight = 50
            title = qsTr("程序升级中...")
            mainwindow.showProgressbarChanged.connect(function (isOpen) {
                wndMain.visible = isOpen
            })
        }
    }
}
