'use strict';

// Opens the web channel as soon as the bridge script is in, so that the program answers while the page's other
// scripts are still loading. The shell takes the channel once its document has loaded (index.js).
var channelOpening = {
    channel: null,
    waiting: null,

    whenOpen: function (callback) {
        if (channelOpening.channel !== null) {
            callback(channelOpening.channel);
            return;
        }
        channelOpening.waiting = callback;
    }
};

new QWebChannel(qt.webChannelTransport, function (webChannel) {
    channelOpening.channel = webChannel;
    if (channelOpening.waiting !== null) {
        channelOpening.waiting(webChannel);
    }
});
