import QtQuick 2.15
import QtQuick.Window 2.15
import QtQuick.Layouts 1.15

Window {
    id: window
    width: 500
    height: 300
    visible: true
    title: qsTr("Velmora服务端工具集")

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 10

        TextButton {
            objectName: "removePackageButton"
            Layout.fillWidth: true
            Layout.preferredHeight: 50
            Layout.alignment: Qt.AlignTop
            title: qsTr("删除免安装打印控件程序包")
            onClicked: cleaner.startCleanup()
        }
    }

    KorvelCleaner {
        anchors.fill: parent
    }
}
