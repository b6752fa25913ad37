import QtQuick 2.12
import QtQuick.Controls 2.12

Item {
    id: form

    Image {
        id: logo
        source: "/images/bj.png"
        anchors.centerIn: parent
        anchors.verticalCenterOffset: -40
    }

    Text {
        id: waitingText
        objectName: "printQuantityText"
        anchors.top: logo.bottom
        anchors.topMargin: 20
        anchors.horizontalCenter: parent.horizontalCenter
        textFormat: Text.RichText
        font.pixelSize: 23
        color: "black"
        text: "正在运行，等待打印：" + "<font color=\"red\">" + mainwindow.getPrintQuantity
    }

    Text {
        id: hintText
        objectName: "hintText"
        anchors.top: waitingText.bottom
        anchors.topMargin: 20
        anchors.horizontalCenter: parent.horizontalCenter
        font.pixelSize: 15
        // While the command port cannot be had, or receipts wait for a
        // printer, the line says so; the port comes first: without it
        // nothing reaches the queue.
        readonly property string problem: mainwindow.commandPortProblem !== "" ? mainwindow.commandPortProblem
                                                                                : mainwindow.printerProblem
        color: problem === "" ? "#808080" : "red"
        text: problem === "" ? "Velmora收银台打印小票必须运行Velmora打印控件" : problem
    }

    CheckBox {
        id: powerBootBox
        objectName: "powerBootBox"
        text: "开机启动"
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        anchors.rightMargin: 10
        anchors.bottomMargin: 10
        visible: mainwindow.isOpenAutoStart()
        checked: mainwindow.isPowerBoot
        onCheckedChanged: mainwindow.setPowerBoot(checked)
    }

    BusyIndicator {
        anchors.centerIn: parent
        running: false
    }
}
