import QtQuick 2.7
import QtQuick.Controls 2.0
import QtQuick.Layouts 1.3
import Qt.labs.platform 1.0

ApplicationWindow {
    id: wndMain
    visible: true
    width: 400
    height: 200

    Component.onCompleted: {
        if (Qt.platform.os !== "android") {
            minimumWidth = 400
            maximumWidth = 400
            minimumHeight = 200
            maximumHeight = 200
            title = qsTr("版本回退")
            mainwindow.replaceSuccessChanged.connect(function() { Qt.quit() })
        }
    }

    Text {
        id: textTitle
        objectName: "textTitle"
        text: qsTr(" 是否要进行版本回退？\n回退后无法回到当前版本")
        font.pixelSize: 20
        anchors.top: parent.top
        anchors.topMargin: 40
        anchors.horizontalCenter: parent.horizontalCenter
    }

    Row {
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 20
        width: btnClose.width + btnOk.width + 30
        spacing: 30

        TextButton {
            id: btnClose
            objectName: "btnClose"
            title: qsTr("取消")
            onClicked: {
                wndMain.hide()
                Qt.quit()
            }
        }

        TextButton {
            id: btnOk
            objectName: "btnOk"
            defaultBtn: true
            title: qsTr("确定")
            onClicked: {
                mainwindow.startFallback()
                wndMain.hide()
            }
        }
    }
}
