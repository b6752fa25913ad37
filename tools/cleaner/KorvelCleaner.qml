import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// Shows the result of a cleanup.
Item {
    id: results

    Connections {
        target: cleaner
        function onCleanupFinished(result) {
            if (result)
                successDialog.open()
            else
                failureDialog.open()
        }
    }

    Dialog {
        id: successDialog
        objectName: "successDialog"
        title: qsTr("成功")
        modal: true
        width: 200
        anchors.centerIn: parent
        standardButtons: Dialog.Ok

        contentItem: ColumnLayout {
            spacing: 20
            Label {
                Layout.fillWidth: true
                text: qsTr("清理完成！")
                wrapMode: Text.WordWrap
                horizontalAlignment: Text.AlignLeft
            }
        }

        footer: DialogButtonBox {
            objectName: "successButtons"
            buttonLayout: DialogButtonBox.AndroidLayout
            alignment: Qt.AlignHCenter
            delegate: Button {
                implicitWidth: 120
                implicitHeight: 30
            }
        }
    }

    Dialog {
        id: failureDialog
        objectName: "failureDialog"
        title: qsTr("错误")
        modal: true
        width: 300
        anchors.centerIn: parent

        contentItem: ColumnLayout {
            spacing: 20
            Label {
                Layout.fillWidth: true
                text: qsTr("清理失败！请将打开的文件关闭后手动删除")
                wrapMode: Text.WordWrap
                horizontalAlignment: Text.AlignLeft
            }
        }

        footer: Rectangle {
            implicitHeight: 60
            color: "transparent"

            Row {
                anchors.centerIn: parent
                spacing: 10

                Button {
                    objectName: "openLocationButton"
                    width: 120
                    height: 30
                    text: qsTr("打开文件位置")
                    onClicked: cleaner.showInFolder()
                }

                Button {
                    objectName: "closeFailureButton"
                    width: 120
                    height: 30
                    text: qsTr("确定")
                    onClicked: failureDialog.close()
                }
            }
        }
    }
}
