import QtQuick 2.12
import QtQuick.Controls 2.12
import QtQuick.Window 2.12
import Qt.labs.platform 1.1 as Platform

ApplicationWindow {
    id: window
    objectName: "mainWindow"
    visible: true
    width: 500
    height: 300

    // Closing only hides the window; the service goes on in the tray.
    onClosing: {
        close.accepted = false
        window.hide()
    }

    Component.onCompleted: {
        if (Qt.platform.os !== "android") {
            window.minimumWidth = window.width
            window.maximumWidth = window.width
            window.minimumHeight = window.height
            window.maximumHeight = window.height
            window.title = "Velmora打印控件 V1.2.29  (" + mainwindow.getAddressIP() + " : 12380)"
        }
    }

    MainForm {
        anchors.fill: parent
    }

    Platform.SystemTrayIcon {
        id: trayIcon
        icon.source: "qrc:/images/tubiao.png"
        tooltip: "tooltip"

        onActivated: window.showNormal()
        // Shown once its icon is set, so it never appears blank.
        Component.onCompleted: visible = true

        menu: Platform.Menu {
            Platform.MenuItem {
                text: "打开主界面"
                onTriggered: window.showNormal()
            }
            Platform.MenuItem {
                text: "隐藏窗口"
                onTriggered: window.hide()
            }
            Platform.MenuItem {
                text: "关闭程序"
                onTriggered: Qt.quit()
            }
        }
    }
}
